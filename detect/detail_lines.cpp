#include "detect/detail_lines.h"

#include <cstdio>

namespace keldar {

FieldText Hex(unsigned value) {
  FieldText field;
  std::snprintf(field.text, sizeof field.text, "0x %04X", value);
  return field;
}

namespace {

FieldText Decimal(int value) {
  FieldText field;
  std::snprintf(field.text, sizeof field.text, "%d", value);
  return field;
}

const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

void AddDetailLine(ListView& detailList, const char* label, const char* value) {
  const int line = detailList.GetItemCount();
  detailList.InsertItem(line, TextOrEmpty(label));
  detailList.SetItemText(line, 1, TextOrEmpty(value));
}

}  // namespace

void ShowDeviceDetails(ListView& detailList, const NodeEntry& node) {
  if (!IsAttachedDevice(node)) return;
  const USB_NODE_CONNECTION_INFORMATION& connection = *node.connectionInfo;
  const USB_DEVICE_DESCRIPTOR& descriptor = connection.DeviceDescriptor;

  FieldText packetSize;
  std::snprintf(packetSize.text, sizeof packetSize.text, "0x %04X\t( %d )",
                unsigned{descriptor.bMaxPacketSize0}, int{descriptor.bMaxPacketSize0});
  FieldText status;
  std::snprintf(status.text, sizeof status.text, "0x %04X\t( Connected )",
                unsigned{connection.ConnectionStatus});

  AddDetailLine(detailList, "DeviceDriverKeyName", node.label);
  AddDetailLine(detailList, "bLength:", Hex(descriptor.bLength).text);
  AddDetailLine(detailList, "bcdUSB:", Hex(descriptor.bcdUSB).text);
  AddDetailLine(detailList, "bDeviceClass:", Hex(descriptor.bDeviceClass).text);
  AddDetailLine(detailList, "bDeviceSubClass:", Hex(descriptor.bDeviceSubClass).text);
  AddDetailLine(detailList, "bDeviceProtocol:", Hex(descriptor.bDeviceProtocol).text);
  AddDetailLine(detailList, "bMaxPacketSize0:", packetSize.text);
  AddDetailLine(detailList, "bLength:", Hex(descriptor.bLength).text);
  AddDetailLine(detailList, "idVendor:", Hex(descriptor.idVendor).text);
  AddDetailLine(detailList, "idProduct:", Hex(descriptor.idProduct).text);
  AddDetailLine(detailList, "bcdDevice:", Hex(descriptor.bcdDevice).text);
  AddDetailLine(detailList, "iManufacturer:", Hex(descriptor.iManufacturer).text);
  AddDetailLine(detailList, "iSerialNumber:", Hex(descriptor.iSerialNumber).text);
  AddDetailLine(detailList, "bNumConfigurations:", Hex(descriptor.bNumConfigurations).text);
  AddDetailLine(detailList, "ConnectionStatus:", status.text);
  AddDetailLine(detailList, "High Speed:", connection.LowSpeed != 0 ? "No" : "Yes");
}

namespace {

void ShowHubDetails(ListView& detailList, const NodeEntry& node) {
  // External hubs are shown under the root hub's heading as well.
  AddDetailLine(detailList, "Root Hub: ", node.label);
  // A hub whose node information could not be read has nothing more to show.
  if (node.hubInfo == nullptr) return;
  const USB_HUB_INFORMATION& hub = node.hubInfo->HubInformation;
  const USB_HUB_DESCRIPTOR& descriptor = hub.HubDescriptor;
  AddDetailLine(detailList, "HubIsBusPowered: ", hub.HubIsBusPowered != 0 ? "Hub is Bus Powered" : "Self Power");
  AddDetailLine(detailList, "Number of Ports: ", Decimal(descriptor.bNumberOfPorts).text);
  AddDetailLine(detailList, "bDescriptorType: ", Hex(descriptor.bDescriptorType).text);
  AddDetailLine(detailList, "wHubCharacteristics: ", Hex(descriptor.wHubCharacteristics).text);
  AddDetailLine(detailList, "bPowerOnToPowerGood: ", Hex(descriptor.bPowerOnToPowerGood).text);
  AddDetailLine(detailList, "bHubControlCurrent: ", Hex(descriptor.bHubControlCurrent).text);
}

}  // namespace

void ShowSelectedItem(ListView& detailList, const NodeTable& nodes, TreeItem selected) {
  const int rows = nodes.ReadableRows();
  detailList.DeleteAllItems();
  // No selection matches no row, even a row whose item could not be inserted.
  if (selected == nullptr) return;
  const int row = nodes.RowOfItem(selected);
  if (row < 0 || row >= rows) return;
  const NodeEntry& node = nodes.Row(row);
  switch (node.kind) {
    case Computer:
      AddDetailLine(detailList, node.label, "");
      break;
    case HostController:
      AddDetailLine(detailList, "Host Controller: ", node.label);
      break;
    case Hub:
      ShowHubDetails(detailList, node);
      break;
    case PortDevice:
      if (node.connectionInfo != nullptr)
        ShowDeviceDetails(detailList, node);
      else
        AddDetailLine(detailList, node.label, "");
      break;
  }
}

void ShowDeviceRow(ListView& detailList, const NodeTable& nodes, int item) {
  if (item < 0) return;
  const int rows = nodes.ReadableRows();
  int deviceRow = 0;
  for (int i = 0; i < rows; ++i) {
    const NodeEntry& node = nodes.Row(i);
    if (!IsAttachedDevice(node)) continue;
    if (deviceRow == item) {
      detailList.DeleteAllItems();
      ShowDeviceDetails(detailList, node);
      return;
    }
    ++deviceRow;
  }
}

}  // namespace keldar
