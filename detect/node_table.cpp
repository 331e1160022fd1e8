#include "detect/node_table.h"

namespace keldar {

int NodeTable::ReadableRows() const {
  const std::size_t items = tree_.GetCount();
  return static_cast<int>(items < rows_.size() ? items : rows_.size());
}

int NodeTable::RowOfItem(TreeItem item) const {
  const auto found = rowOfItem_.find(item);
  return found != rowOfItem_.end() ? found->second : -1;
}

void NodeTable::Clear() {
  rows_.clear();
  rowOfItem_.clear();
}

void NodeTable::Append(const NodeEntry& node) {
  // A later row with the same item (an item that could not be inserted) never answers for it.
  rowOfItem_.emplace(node.treeItem, static_cast<int>(rows_.size()));
  rows_.push_back(node);
}

}  // namespace keldar
