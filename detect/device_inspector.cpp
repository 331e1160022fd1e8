#include "detect/device_inspector.h"

#include "detect/detail_lines.h"
#include "detect/identification.h"

namespace keldar {

DeviceInspector::DeviceInspector(Platform& platform, TreeView& deviceTree, ListView& deviceList,
                                 ListView& detailList, Notifier& notifier,
                                 ImageListHandle treeImages)
    : m_deviceTree(deviceTree),
      m_deviceList(deviceList),
      m_detailList(detailList),
      m_notifier(notifier),
      m_tree(platform, deviceTree, treeImages) {}

bool DeviceInspector::Detect() {
  m_tree.BuildDeviceTree();
  if (m_tree.BuildAbandoned()) {
    // Rows of the previous detection would describe a tree that is gone.
    m_deviceList.DeleteAllItems();
    ClearDetailList();
    return false;
  }
  IdentifyKeys();
  ClearDetailList();
  return true;
}

void DeviceInspector::IdentifyKeys() {
  m_keyFound = keldar::IdentifyKeys(m_tree.Nodes(), m_tree.FriendlyNames(), m_deviceList, m_notifier);
}

void DeviceInspector::OnTreeSelChanged() {
  ShowSelectedItem(m_detailList, m_tree.Nodes(), m_deviceTree.GetSelectedItem());
}

void DeviceInspector::OnDeviceListDblClk(int item) { ShowDeviceRow(m_detailList, m_tree.Nodes(), item); }

}  // namespace keldar
