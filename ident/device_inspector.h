// What the main dialog does with a detection, free of any window: builds the device tree and
// node table, runs the identification pass over the attached devices (device list and
// notices), and fills the detail list when a tree item is selected or a device-list row is
// double-clicked. The Windows dialog holds one and forwards to it; the console front end and
// the tests drive it through in-memory views.
#pragma once

#include "ui/views.h"
#include "usb/device_tree.h"

namespace keldar {

class DeviceInspector : public DeviceTree {
 public:
  DeviceInspector(Platform& platform, TreeView& deviceTree, ListView& deviceList,
                  ListView& detailList, Notifier& notifier, ImageListHandle treeImages);

  // The detect command: tree build, identification pass, empty detail list. False when the
  // build was abandoned (the computer name was unavailable and the failure handler returned);
  // then no pass runs, no notice is shown and both lists are left empty.
  bool Detect();

  // Refills the device list from the node table, one row per attached device in table order,
  // and shows each device's key notices at once; the closing notice when none was shown.
  void IdentifyKeys();
  // Whether the last identification pass showed a key notice.
  bool KeyFound() const { return m_keyFound; }

  // Appends the 16 descriptor lines of an attached device's row to the detail list.
  void ShowDeviceDetails(const NodeEntry& node);
  void ClearDetailList();

  // The tree's selection changed: the detail list shows the selected item's node, or nothing.
  void OnTreeSelChanged();
  // Device-list row `item` was double-clicked (-1: no row was hit). A row beyond the last
  // attached device leaves the detail list as it is.
  void OnDeviceListDblClk(int item);

 private:
  void AddDetailLine(const char* label, const char* value);
  void ShowHubDetails(const NodeEntry& node);

  ListView& m_deviceList;
  ListView& m_detailList;
  Notifier& m_notifier;
  bool m_keyFound = false;
};

}  // namespace keldar
