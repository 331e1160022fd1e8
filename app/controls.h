// Wrappers of the common controls, the image list, a menu and a paint context. Each holds a
// handle it does not own (the image list excepted), sends one message or makes one call, and
// casts the result: there is no logic here to test.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include "app/framework.h"
#include "ui/views.h"

namespace keldar {

class CTreeCtrl : public CWnd, public TreeView {
 public:
  void DeleteAllItems() override;
  void SetNormalImageList(ImageListHandle images) override;
  void SetTextColor(Colour colour) override;
  void SetBkColor(Colour colour) override;
  TreeItem InsertItem(const char* text, int image, int selectedImage, TreeItem parent) override;
  HTREEITEM InsertItem(TVINSERTSTRUCTA* insert);
  void Expand(TreeItem item) override;
  unsigned GetCount() const override;
  TreeItem GetSelectedItem() const override;
};

class CListCtrl : public CWnd, public ListView {
 public:
  void DeleteAllItems() override;
  int InsertItem(int index, const char* text) override;
  int InsertItem(const LVITEMA* item);
  void SetItemText(int item, int subItem, const char* text) override;
  int GetItemCount() const override;

  DWORD SetExtendedStyle(DWORD styles);
  BOOL SetTextColor(COLORREF colour);
  BOOL SetBkColor(COLORREF colour);
  int InsertColumn(int column, const char* heading, int format, int width);
  int InsertColumn(int column, const LVCOLUMNA* columnInfo);
};

// Owns its image list: destroyed with the object.
class CImageList {
 public:
  CImageList() = default;
  CImageList(int cx, int cy, UINT flags, int initial, int grow) {
    Create(cx, cy, flags, initial, grow);
  }
  CImageList(const CImageList&) = delete;
  CImageList& operator=(const CImageList&) = delete;
  ~CImageList() { DeleteImageList(); }

  BOOL Create(int cx, int cy, UINT flags, int initial, int grow);
  // Appends the icon, scaled to the list's size; the new image's index, -1 on failure.
  int Add(HICON icon) { return ImageList_ReplaceIcon(imageList_, -1, icon); }
  int GetImageCount() const { return ImageList_GetImageCount(imageList_); }
  BOOL DeleteImageList();
  operator HIMAGELIST() const { return imageList_; }

 private:
  HIMAGELIST imageList_ = nullptr;
};

class CMenu {
 public:
  explicit CMenu(HMENU menu) : menu_(menu) {}
  BOOL AppendMenu(UINT flags, UINT_PTR id = 0, const wchar_t* text = nullptr) {
    return ::AppendMenuW(menu_, flags, id, text);
  }

 private:
  HMENU menu_;
};

// A paint context: BeginPaint when made, EndPaint when it goes.
class CPaintDC {
 public:
  explicit CPaintDC(CWnd& window) : hwnd_(window.GetSafeHwnd()) {
    hdc_ = ::BeginPaint(hwnd_, &ps_);
  }
  ~CPaintDC() { ::EndPaint(hwnd_, &ps_); }
  CPaintDC(const CPaintDC&) = delete;
  CPaintDC& operator=(const CPaintDC&) = delete;

  HDC GetSafeHdc() const { return hdc_; }
  BOOL DrawIcon(int x, int y, HICON icon) { return ::DrawIcon(hdc_, x, y, icon); }

 private:
  HWND hwnd_;
  HDC hdc_;
  PAINTSTRUCT ps_{};
};

}  // namespace keldar
