// The detail list: the lines a selected tree item or a double-clicked device-list row shows
// (the hub or device descriptor fields of its node).
#pragma once

#include "detect/node_table.h"
#include "ui/views.h"

namespace keldar {

// "0x %04X": 0x, a blank, four or more upper-case hexadecimal digits. Room for eight digits,
// a tab and the longest suffix a detail line adds.
struct FieldText {
  char text[48];
};
FieldText Hex(unsigned value);

// Appends the 16 descriptor lines of an attached device's row; nothing for any other row.
void ShowDeviceDetails(ListView& detailList, const NodeEntry& node);

// The tree's selection changed to `selected` (null: none): the detail list shows that item's
// node, or nothing.
void ShowSelectedItem(ListView& detailList, const NodeTable& nodes, TreeItem selected);

// Device-list row `item` was double-clicked (-1: no row was hit). Row k stands for the k-th
// attached device of the table; a row beyond the last leaves the detail list as it is.
void ShowDeviceRow(ListView& detailList, const NodeTable& nodes, int item);

}  // namespace keldar
