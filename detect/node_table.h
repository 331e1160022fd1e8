// The node table: row i describes the i-th item of the device tree in depth-first pre-order.
// The tree build writes it; the identification pass and the detail list only read it.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/records.h"
#include "ui/views.h"

namespace keldar {

enum NodeKind : std::int32_t { Computer = 0, HostController = 1, Hub = 2, PortDevice = 3 };

// One row. The records and the label live in the detection's store.
struct NodeEntry {
  NodeKind kind;
  TreeItem treeItem;
  const USB_NODE_INFORMATION* hubInfo;                   // Hub rows only; null if the query failed
  const USB_NODE_CONNECTION_INFORMATION* connectionInfo;  // attached devices only
  const char* label;                                     // may be null
};

// A port with a device whose connection record was read: what the device list lists.
inline bool IsAttachedDevice(const NodeEntry& node) {
  return node.kind == PortDevice && node.connectionInfo != nullptr;
}

class NodeTable {
 public:
  // Readers walk as many rows as `tree` has items.
  explicit NodeTable(const TreeView& tree) : tree_(tree) {}

  // How many rows a reader may walk: the tree's item count, bounded by the rows in use. Read
  // again by every reader, since the tree may have lost items since the build.
  int ReadableRows() const;
  const NodeEntry& Row(int row) const { return rows_[static_cast<std::size_t>(row)]; }
  const std::vector<NodeEntry>& Rows() const { return rows_; }
  // The first row whose tree item is `item`, or -1. The index spares the detail list a walk
  // over the whole table on every selection.
  int RowOfItem(TreeItem item) const;

  void Clear();
  void Append(const NodeEntry& node);

 private:
  const TreeView& tree_;
  std::vector<NodeEntry> rows_;
  std::unordered_map<TreeItem, int> rowOfItem_;
};

}  // namespace keldar
