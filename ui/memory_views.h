// The view seam kept in memory: what the console front end prints and what the tests read.
// They behave as the dialog's controls do where the tree builder, the identification pass and
// the detail list can tell: insertion after the last child, text copied on insert, a row index
// past the end appends, a cell of a missing row is not set, a notice returns as if OK was
// pressed.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "ui/views.h"

namespace keldar {

class MemoryTreeView final : public TreeView {
 public:
  struct Item {
    TreeItem handle = nullptr;
    std::string text;  // "" when inserted without a text
    int image = 0;
    int selectedImage = 0;
    TreeItem parent = kTreeRoot;
    std::vector<TreeItem> children;  // in insertion order
    bool expanded = false;
  };

  void DeleteAllItems() override;
  void SetNormalImageList(ImageListHandle images) override { imageList_ = images; }
  void SetTextColor(Colour colour) override { textColour_ = colour; }
  void SetBkColor(Colour colour) override { bkColour_ = colour; }
  TreeItem InsertItem(const char* text, int image, int selectedImage, TreeItem parent) override;
  void Expand(TreeItem item) override;
  unsigned GetCount() const override { return static_cast<unsigned>(items_.size()); }
  TreeItem GetSelectedItem() const override { return selected_; }

  // Makes `item` the selected item (null: no selection). When the selection changes, the
  // selection handler runs, as the control's selection-changed notification would make it.
  void Select(TreeItem item);
  void SetSelectionHandler(std::function<void()> handler) { onSelectionChanged_ = std::move(handler); }

  // Null for a handle that is not (or no longer) an item of this tree.
  const Item* Find(TreeItem item) const;
  const std::vector<TreeItem>& Roots() const { return roots_; }
  // Every item, parents before their children, children in order.
  std::vector<TreeItem> PreOrder() const;
  // Number of ancestors: 0 for a top-level item.
  int Depth(TreeItem item) const;

  ImageListHandle NormalImageList() const { return imageList_; }
  Colour TextColour() const { return textColour_; }
  Colour BkColour() const { return bkColour_; }

 private:
  Item* FindMutable(TreeItem item);

  std::vector<Item> items_;  // in insertion order
  std::vector<TreeItem> roots_;
  TreeItem selected_ = nullptr;
  // Handles are never reused, so a handle kept from an earlier build matches nothing.
  std::size_t nextHandle_ = 1;
  std::size_t firstHandle_ = 1;
  ImageListHandle imageList_ = nullptr;
  Colour textColour_ = 0;
  Colour bkColour_ = 0xFFFFFF;
  std::function<void()> onSelectionChanged_;
};

class MemoryListView final : public ListView {
 public:
  MemoryListView() = default;
  explicit MemoryListView(std::vector<std::string> headings) : headings_(std::move(headings)) {}

  void DeleteAllItems() override { rows_.clear(); }
  int InsertItem(int index, const char* text) override;
  void SetItemText(int item, int subItem, const char* text) override;
  int GetItemCount() const override { return static_cast<int>(rows_.size()); }

  const std::vector<std::string>& Headings() const { return headings_; }
  // "" for a cell that was never set.
  std::string Cell(int item, int subItem) const;
  // Each row's cells, column 0 first; a row is as long as its rightmost set cell.
  const std::vector<std::vector<std::string>>& Rows() const { return rows_; }

 private:
  std::vector<std::string> headings_;
  std::vector<std::vector<std::string>> rows_;
};

class MemoryNotifier final : public Notifier {
 public:
  struct Notice {
    std::string text;
    std::string caption;
    unsigned type = 0;
  };

  int ShowNotice(const char* text, const char* caption, unsigned type) override;

  const std::vector<Notice>& Notices() const { return notices_; }
  void Clear() { notices_.clear(); }

 private:
  std::vector<Notice> notices_;
};

}  // namespace keldar
