// What the main dialog does with a detection, free of any window: builds the device tree and
// node table, runs the identification pass over the attached devices (device list and
// notices), and fills the detail list when a tree item is selected or a device-list row is
// double-clicked. The Windows dialog holds one and forwards to it; the console front end and
// the tests drive it through in-memory views.
#pragma once

#include "detect/device_tree.h"
#include "detect/node_table.h"
#include "ui/views.h"

namespace keldar {

class DeviceInspector {
 public:
  DeviceInspector(Platform& platform, TreeView& deviceTree, ListView& deviceList,
                  ListView& detailList, Notifier& notifier, ImageListHandle treeImages);

  // The detect command: tree build, identification pass, empty detail list. False when the
  // build was abandoned (the computer name was unavailable and the failure handler returned);
  // then no pass runs, no notice is shown and both lists are left empty.
  bool Detect();

  void BuildDeviceTree() { tree_.BuildDeviceTree(); }
  // Refills the device list from the node table and shows each device's key notices at once;
  // the closing notice when none was shown.
  void IdentifyKeys();
  // Whether the last identification pass showed a key notice.
  bool KeyFound() const { return keyFound_; }
  void ClearDetailList() { detailList_.DeleteAllItems(); }

  // The tree's selection changed: the detail list shows the selected item's node, or nothing.
  void OnTreeSelChanged();
  // Device-list row `item` was double-clicked (-1: no row was hit).
  void OnDeviceListDblClk(int item);

  void SetComputerNameFailure(DeviceTree::ComputerNameFailure handler) {
    tree_.SetComputerNameFailure(std::move(handler));
  }
  const NodeTable& Nodes() const { return tree_.Nodes(); }
  bool ControllersLeftOut() const { return tree_.ControllersLeftOut(); }
  const std::vector<DeviceRequests::UnansweredDevice>& UnansweredDevices() const {
    return tree_.UnansweredDevices();
  }
  const DetectionStore* Store() const { return tree_.Store(); }
  FriendlyNameLookup& FriendlyNames() { return tree_.FriendlyNames(); }

 private:
  TreeView& deviceTree_;
  ListView& deviceList_;
  ListView& detailList_;
  Notifier& notifier_;
  DeviceTree tree_;
  bool keyFound_ = false;
};

}  // namespace keldar
