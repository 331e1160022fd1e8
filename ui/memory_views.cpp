#include "ui/memory_views.h"

#include <algorithm>
#include <cstdint>

namespace keldar {

namespace {
// The value a message box returns when its OK button closes it.
constexpr int kOkPressed = 1;
}  // namespace

void MemoryTreeView::DeleteAllItems() {
  items_.clear();
  roots_.clear();
  selected_ = nullptr;
  firstHandle_ = nextHandle_;
}

TreeItem MemoryTreeView::InsertItem(const char* text, int image, int selectedImage,
                                    TreeItem parent) {
  if (parent != kTreeRoot && Find(parent) == nullptr) return nullptr;
  Item item;
  item.handle = reinterpret_cast<TreeItem>(static_cast<std::uintptr_t>(nextHandle_++));
  item.text = text != nullptr ? text : "";
  item.image = image;
  item.selectedImage = selectedImage;
  item.parent = parent;
  const TreeItem handle = item.handle;
  items_.push_back(std::move(item));
  if (parent == kTreeRoot)
    roots_.push_back(handle);
  else
    FindMutable(parent)->children.push_back(handle);
  return handle;
}

void MemoryTreeView::Expand(TreeItem item) {
  if (Item* found = FindMutable(item)) found->expanded = true;
}

void MemoryTreeView::Select(TreeItem item) {
  if (item != nullptr && Find(item) == nullptr) return;
  if (item == selected_) return;
  selected_ = item;
  if (onSelectionChanged_) onSelectionChanged_();
}

const MemoryTreeView::Item* MemoryTreeView::Find(TreeItem item) const {
  // Handles are numbered in insertion order from the first item of the current tree on.
  const auto number = reinterpret_cast<std::uintptr_t>(item);
  if (number < firstHandle_ || number - firstHandle_ >= items_.size()) return nullptr;
  return &items_[number - firstHandle_];
}

MemoryTreeView::Item* MemoryTreeView::FindMutable(TreeItem item) {
  return const_cast<Item*>(static_cast<const MemoryTreeView*>(this)->Find(item));
}

std::vector<TreeItem> MemoryTreeView::PreOrder() const {
  std::vector<TreeItem> order;
  order.reserve(items_.size());
  std::vector<TreeItem> pending(roots_.rbegin(), roots_.rend());
  while (!pending.empty()) {
    TreeItem next = pending.back();
    pending.pop_back();
    order.push_back(next);
    const Item* item = Find(next);
    pending.insert(pending.end(), item->children.rbegin(), item->children.rend());
  }
  return order;
}

int MemoryTreeView::Depth(TreeItem item) const {
  int depth = 0;
  for (const Item* found = Find(item); found != nullptr && found->parent != kTreeRoot;
       found = Find(found->parent))
    ++depth;
  return depth;
}

int MemoryListView::InsertItem(int index, const char* text) {
  if (index < 0) return -1;
  const int at = std::min(index, GetItemCount());
  rows_.insert(rows_.begin() + at, std::vector<std::string>{text != nullptr ? text : ""});
  return at;
}

void MemoryListView::SetItemText(int item, int subItem, const char* text) {
  if (item < 0 || item >= GetItemCount() || subItem < 0) return;
  auto& row = rows_[static_cast<std::size_t>(item)];
  if (row.size() <= static_cast<std::size_t>(subItem)) row.resize(static_cast<std::size_t>(subItem) + 1);
  row[static_cast<std::size_t>(subItem)] = text != nullptr ? text : "";
}

std::string MemoryListView::Cell(int item, int subItem) const {
  if (item < 0 || item >= GetItemCount() || subItem < 0) return {};
  const auto& row = rows_[static_cast<std::size_t>(item)];
  return static_cast<std::size_t>(subItem) < row.size() ? row[static_cast<std::size_t>(subItem)]
                                                        : std::string();
}

int MemoryNotifier::ShowNotice(const char* text, const char* caption, unsigned type) {
  notices_.push_back({text != nullptr ? text : "", caption != nullptr ? caption : "", type});
  return kOkPressed;
}

}  // namespace keldar
