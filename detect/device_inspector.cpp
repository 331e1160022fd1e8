#include "detect/device_inspector.h"

#include "detect/detail_lines.h"
#include "detect/identification.h"

namespace keldar {

DeviceInspector::DeviceInspector(Platform& platform, TreeView& deviceTree, ListView& deviceList,
                                 ListView& detailList, Notifier& notifier,
                                 ImageListHandle treeImages)
    : deviceTree_(deviceTree),
      deviceList_(deviceList),
      detailList_(detailList),
      notifier_(notifier),
      tree_(platform, deviceTree, treeImages) {}

bool DeviceInspector::Detect() {
  tree_.BuildDeviceTree();
  if (tree_.BuildAbandoned()) {
    // Rows of the previous detection would describe a tree that is gone.
    deviceList_.DeleteAllItems();
    ClearDetailList();
    return false;
  }
  IdentifyKeys();
  ClearDetailList();
  return true;
}

void DeviceInspector::IdentifyKeys() {
  keyFound_ = keldar::IdentifyKeys(tree_.Nodes(), tree_.FriendlyNames(), deviceList_, notifier_);
}

void DeviceInspector::OnTreeSelChanged() {
  ShowSelectedItem(detailList_, tree_.Nodes(), deviceTree_.GetSelectedItem());
}

void DeviceInspector::OnDeviceListDblClk(int item) { ShowDeviceRow(detailList_, tree_.Nodes(), item); }

}  // namespace keldar
