#include "ident/device_inspector.h"

#include <cstdio>

#include "ident/key_rules.h"
#include "ident/vendor_table.h"
#include "usb/access.h"

namespace keldar {

namespace {

// Room for "0x " and eight hexadecimal digits, a tab and the longest suffix.
struct FieldText {
  char text[48];
};

FieldText Hex(unsigned value) {
  FieldText field;
  std::snprintf(field.text, sizeof field.text, "0x %04X", value);
  return field;
}

FieldText Decimal(int value) {
  FieldText field;
  std::snprintf(field.text, sizeof field.text, "%d", value);
  return field;
}

bool IsAttachedDevice(const NodeEntry& node) {
  return node.kind == PortDevice && node.connectionInfo != nullptr;
}

const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

DeviceInspector::DeviceInspector(Platform& platform, TreeView& deviceTree, ListView& deviceList,
                                 ListView& detailList, Notifier& notifier,
                                 ImageListHandle treeImages)
    : DeviceTree(platform, deviceTree, treeImages),
      m_deviceList(deviceList),
      m_detailList(detailList),
      m_notifier(notifier) {}

bool DeviceInspector::Detect() {
  BuildDeviceTree();
  if (BuildAbandoned()) {
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
  m_deviceList.DeleteAllItems();
  m_keyFound = false;
  int row = 0;
  // The tree's item count is read again before every row.
  for (int i = 0; i < ReadableRows(); ++i) {
    const NodeEntry& node = m_nodes[static_cast<std::size_t>(i)];
    if (!IsAttachedDevice(node)) continue;

    const std::uint16_t vendorId = node.connectionInfo->DeviceDescriptor.idVendor;
    const std::uint16_t productId = node.connectionInfo->DeviceDescriptor.idProduct;
    m_deviceList.InsertItem(row, LookupVendorName(vendorId));
    m_deviceList.SetItemText(row, 2, Hex(vendorId).text);
    m_deviceList.SetItemText(row, 3, Hex(productId).text);

    const char* notices[2] = {nullptr, nullptr};
    const int noticeCount = KeyNoticesFor(vendorId, productId, notices);
    for (int n = 0; n < noticeCount; ++n)
      m_notifier.ShowNotice(notices[n], NoticeCaption(), kNoticeType);
    if (noticeCount > 0) m_keyFound = true;

    m_deviceList.SetItemText(row, 1, TextOrEmpty(FriendlyName(node.label)));
    ++row;
  }
  if (!m_keyFound) m_notifier.ShowNotice(ClosingNotice(), NoticeCaption(), kNoticeType);
}

void DeviceInspector::ClearDetailList() { m_detailList.DeleteAllItems(); }

void DeviceInspector::AddDetailLine(const char* label, const char* value) {
  const int line = m_detailList.GetItemCount();
  m_detailList.InsertItem(line, TextOrEmpty(label));
  m_detailList.SetItemText(line, 1, TextOrEmpty(value));
}

void DeviceInspector::ShowDeviceDetails(const NodeEntry& node) {
  if (!IsAttachedDevice(node)) return;
  const USB_NODE_CONNECTION_INFORMATION& connection = *node.connectionInfo;
  const USB_DEVICE_DESCRIPTOR& descriptor = connection.DeviceDescriptor;

  FieldText packetSize;
  std::snprintf(packetSize.text, sizeof packetSize.text, "0x %04X\t( %d )",
                unsigned{descriptor.bMaxPacketSize0}, int{descriptor.bMaxPacketSize0});
  FieldText status;
  std::snprintf(status.text, sizeof status.text, "0x %04X\t( Connected )",
                unsigned{connection.ConnectionStatus});

  AddDetailLine("DeviceDriverKeyName", node.label);
  AddDetailLine("bLength:", Hex(descriptor.bLength).text);
  AddDetailLine("bcdUSB:", Hex(descriptor.bcdUSB).text);
  AddDetailLine("bDeviceClass:", Hex(descriptor.bDeviceClass).text);
  AddDetailLine("bDeviceSubClass:", Hex(descriptor.bDeviceSubClass).text);
  AddDetailLine("bDeviceProtocol:", Hex(descriptor.bDeviceProtocol).text);
  AddDetailLine("bMaxPacketSize0:", packetSize.text);
  AddDetailLine("bLength:", Hex(descriptor.bLength).text);
  AddDetailLine("idVendor:", Hex(descriptor.idVendor).text);
  AddDetailLine("idProduct:", Hex(descriptor.idProduct).text);
  AddDetailLine("bcdDevice:", Hex(descriptor.bcdDevice).text);
  AddDetailLine("iManufacturer:", Hex(descriptor.iManufacturer).text);
  AddDetailLine("iSerialNumber:", Hex(descriptor.iSerialNumber).text);
  AddDetailLine("bNumConfigurations:", Hex(descriptor.bNumConfigurations).text);
  AddDetailLine("ConnectionStatus:", status.text);
  AddDetailLine("High Speed:", connection.LowSpeed != 0 ? "No" : "Yes");
}

void DeviceInspector::ShowHubDetails(const NodeEntry& node) {
  // External hubs are shown under the root hub's heading as well.
  AddDetailLine("Root Hub: ", node.label);
  // A hub whose node information could not be read has nothing more to show.
  if (node.hubInfo == nullptr) return;
  const USB_HUB_INFORMATION& hub = node.hubInfo->HubInformation;
  const USB_HUB_DESCRIPTOR& descriptor = hub.HubDescriptor;
  AddDetailLine("HubIsBusPowered: ", hub.HubIsBusPowered != 0 ? "Hub is Bus Powered" : "Self Power");
  AddDetailLine("Number of Ports: ", Decimal(descriptor.bNumberOfPorts).text);
  AddDetailLine("bDescriptorType: ", Hex(descriptor.bDescriptorType).text);
  AddDetailLine("wHubCharacteristics: ", Hex(descriptor.wHubCharacteristics).text);
  AddDetailLine("bPowerOnToPowerGood: ", Hex(descriptor.bPowerOnToPowerGood).text);
  AddDetailLine("bHubControlCurrent: ", Hex(descriptor.bHubControlCurrent).text);
}

void DeviceInspector::OnTreeSelChanged() {
  const int rows = ReadableRows();
  ClearDetailList();
  const TreeItem selected = m_deviceTree.GetSelectedItem();
  // No selection matches no row, even a row whose item could not be inserted.
  if (selected == nullptr) return;
  const int row = RowOfItem(selected);
  if (row < 0 || row >= rows) return;
  const NodeEntry& node = m_nodes[static_cast<std::size_t>(row)];
  switch (node.kind) {
    case Computer:
      AddDetailLine(node.label, "");
      break;
    case HostController:
      AddDetailLine("Host Controller: ", node.label);
      break;
    case Hub:
      ShowHubDetails(node);
      break;
    case PortDevice:
      if (node.connectionInfo != nullptr)
        ShowDeviceDetails(node);
      else
        AddDetailLine(node.label, "");
      break;
  }
}

void DeviceInspector::OnDeviceListDblClk(int item) {
  if (item < 0) return;
  const int rows = ReadableRows();
  int deviceRow = 0;
  for (int i = 0; i < rows; ++i) {
    const NodeEntry& node = m_nodes[static_cast<std::size_t>(i)];
    if (!IsAttachedDevice(node)) continue;
    if (deviceRow == item) {
      ClearDetailList();
      ShowDeviceDetails(node);
      return;
    }
    ++deviceRow;
  }
}

}  // namespace keldar
