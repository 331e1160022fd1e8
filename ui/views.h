// The view seam: the only operations the tree builder, the identification pass and the detail
// list ask of the dialog's controls. The Windows dialog implements them with window messages;
// ui/memory_views.h keeps them in memory for the console front end and the tests.
#pragma once

#include <cstdint>

namespace keldar {

using TreeItem = void*;        // HTREEITEM on Windows; null is "no item"
using ImageListHandle = void*;  // HIMAGELIST on Windows
using Colour = std::uint32_t;   // COLORREF: 0x00BBGGRR

inline constexpr TreeItem kTreeRoot = nullptr;

// The code page of the program's own texts (the notices and their caption): narrow literals,
// which the compiler writes in GBK whatever code page the system uses. Item and cell texts are
// the platform's, in its ANSI code page; the program's own among them are ASCII.
inline constexpr unsigned kProgramCodePage = 936;

class TreeView {
 public:
  virtual ~TreeView() = default;
  virtual void DeleteAllItems() = 0;
  virtual void SetNormalImageList(ImageListHandle images) = 0;
  virtual void SetTextColor(Colour colour) = 0;
  virtual void SetBkColor(Colour colour) = 0;
  // Inserts after the last child of `parent` (kTreeRoot for a top-level item). `text` may be
  // null: the item is made all the same.
  virtual TreeItem InsertItem(const char* text, int image, int selectedImage, TreeItem parent) = 0;
  virtual void Expand(TreeItem item) = 0;  // TVE_EXPAND, never a toggle
  virtual unsigned GetCount() const = 0;
  virtual TreeItem GetSelectedItem() const = 0;
};

class ListView {
 public:
  virtual ~ListView() = default;
  virtual void DeleteAllItems() = 0;
  virtual int InsertItem(int index, const char* text) = 0;
  virtual void SetItemText(int item, int subItem, const char* text) = 0;
  virtual int GetItemCount() const = 0;
};

class Notifier {
 public:
  virtual ~Notifier() = default;
  // A modal notice; returns when the user has closed it. `text` and `caption` are in
  // kProgramCodePage.
  virtual int ShowNotice(const char* text, const char* caption, unsigned type) = 0;
};

}  // namespace keldar
