#include "detect/report.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "detect/device_inspector.h"
#include "ident/key_rules.h"
#include "ui/memory_views.h"
#include "usb/topology.h"

namespace keldar {

namespace {

// A device path in a warning line, which is UTF-8: a Windows device path is ASCII; any other
// byte is written as \xNN rather than decoded from a code page.
std::string PrintablePath(const std::string& ansi) {
  std::string printable;
  for (const char c : ansi) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      printable += c;
    } else {
      static const char kDigits[] = "0123456789ABCDEF";
      printable += "\\x";
      printable += kDigits[byte >> 4];
      printable += kDigits[byte & 0xF];
    }
  }
  return printable;
}

const std::vector<std::string> kDeviceListHeadings = {"Co. Info", "Device Name", "Vender ID",
                                                      "Product ID"};

TreeNode Snapshot(const MemoryTreeView& tree, TreeItem handle,
                  const std::map<TreeItem, const NodeEntry*>& rows,
                  const std::map<TreeItem, std::vector<std::vector<std::string>>>& details) {
  const MemoryTreeView::Item& item = *tree.Find(handle);
  TreeNode node;
  node.text = item.text;
  node.image = item.image;
  node.expanded = item.expanded;
  if (auto row = rows.find(handle); row != rows.end()) {
    node.kind = row->second->kind;
    if (row->second->label != nullptr) node.label = row->second->label;
  }
  if (auto lines = details.find(handle); lines != details.end()) node.details = lines->second;
  for (TreeItem child : item.children) node.children.push_back(Snapshot(tree, child, rows, details));
  return node;
}

struct KeyWalk {
  const MemoryTreeView& tree;
  const std::map<TreeItem, const NodeEntry*>& rows;
  std::vector<KeySighting>& keys;

  void Visit(TreeItem handle, int controller, const std::string& hub) {
    const NodeEntry* row = nullptr;
    if (auto found = rows.find(handle); found != rows.end()) row = found->second;
    std::string childHub = hub;
    if (row != nullptr && row->kind == Hub) childHub = row->label != nullptr ? row->label : "";
    if (row != nullptr && IsAttachedDevice(*row)) Sight(*row, controller, hub);
    for (TreeItem child : tree.Find(handle)->children) Visit(child, controller, childHub);
  }

  void Sight(const NodeEntry& row, int controller, const std::string& hub) {
    const auto& info = *row.connectionInfo;
    const KeyNotice* notices[2] = {nullptr, nullptr};
    const int count =
        KeyNoticesFor(info.DeviceDescriptor.idVendor, info.DeviceDescriptor.idProduct, notices);
    if (count == 0) return;
    KeySighting key;
    key.vendorId = info.DeviceDescriptor.idVendor;
    key.productId = info.DeviceDescriptor.idProduct;
    for (int n = 0; n < count; ++n)
      key.model += std::string(n > 0 ? " / " : "") + notices[n]->model;
    key.driverKey = row.label != nullptr ? row.label : "";
    key.place = "HCD" + std::to_string(controller) + "/" + hub + "/" +
                std::to_string(info.ConnectionIndex);
    key.address = info.DeviceAddress;
    keys.push_back(std::move(key));
  }
};

}  // namespace

const char* NodeKindName(NodeKind kind) {
  switch (kind) {
    case Computer:
      return "Computer";
    case HostController:
      return "HostController";
    case Hub:
      return "Hub";
    case PortDevice:
      return "PortDevice";
  }
  return "Unknown";
}

std::optional<DetectionReport> RunDetection(Platform& platform, unsigned ansiCodePage,
                                            std::string source, DWORD* computerNameError,
                                            bool readKeyStates) {
  MemoryTreeView tree;
  MemoryListView deviceList(kDeviceListHeadings);
  MemoryListView detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);
  inspector.SetComputerNameFailure([computerNameError](DWORD error) {
    if (computerNameError != nullptr) *computerNameError = error;
  });
  inspector.FriendlyNames().ReadForKeyStates(readKeyStates);
  if (!inspector.Detect()) return std::nullopt;

  DetectionReport report;
  report.source = std::move(source);
  report.ansiCodePage = ansiCodePage;
  report.deviceListHeadings = deviceList.Headings();
  for (const auto& row : deviceList.Rows()) {
    std::vector<std::string> cells(kDeviceListHeadings.size());
    std::copy_n(row.begin(), std::min(row.size(), cells.size()), cells.begin());
    report.devices.push_back(std::move(cells));
  }
  for (const auto& notice : notifier.Notices()) report.notices.push_back({notice.caption, notice.text});
  report.keyFound = inspector.KeyFound();
  if (inspector.ControllersLeftOut())
    report.warnings.push_back("the host-controller list goes on past " +
                              std::to_string(kMaxInterfaceControllers) +
                              " controllers; those further on are not walked");
  // A hub driver that hangs is worth saying: its hub looks like one that refuses to answer.
  const std::string seconds = std::to_string(kRequestDeadlineMs / 1000);
  for (const DeviceRequests::UnansweredDevice& device : inspector.UnansweredDevices())
    report.warnings.push_back(
        PrintablePath(device.path) +
        (device.requests == 1
             ? " did not answer a request for " + seconds +
                   " seconds: it was cancelled, and what it asked shows as not answered"
             : " did not answer " + std::to_string(device.requests) + " requests for " +
                   seconds + " seconds each: they were cancelled, and what they asked shows as "
                   "not answered"));

  std::map<TreeItem, const NodeEntry*> rows;
  for (const NodeEntry& node : inspector.Nodes().Rows()) rows.emplace(node.treeItem, &node);
  if (!inspector.Nodes().Rows().empty() && inspector.Nodes().Rows().front().label != nullptr)
    report.computerName = inspector.Nodes().Rows().front().label;

  // The detail lines are what the dialog shows when the user selects each item.
  std::map<TreeItem, std::vector<std::vector<std::string>>> details;
  tree.SetSelectionHandler([&inspector] { inspector.OnTreeSelChanged(); });
  for (TreeItem item : tree.PreOrder()) {
    tree.Select(item);
    std::vector<std::vector<std::string>> lines;
    for (int line = 0; line < detailList.GetItemCount(); ++line)
      lines.push_back({detailList.Cell(line, 0), detailList.Cell(line, 1)});
    details.emplace(item, std::move(lines));
  }
  tree.SetSelectionHandler(nullptr);

  for (TreeItem root : tree.Roots()) report.tree.push_back(Snapshot(tree, root, rows, details));

  // Controllers are the computer's children in \\.\HCD order.
  KeyWalk walk{tree, rows, report.keys};
  for (TreeItem root : tree.Roots()) {
    int controller = 0;
    for (TreeItem child : tree.Find(root)->children) walk.Visit(child, controller++, "");
  }
  for (KeySighting& key : report.keys) {
    if (!readKeyStates) break;
    const KeyDeviceState state =
        inspector.FriendlyNames().KeyState(key.driverKey.c_str(), key.vendorId, key.productId);
    if (state.known)
      key.facts.windows = WindowsKeyFacts{state.service, state.configFlags, state.devNodeStatus,
                                          state.problemCode};
    else
      key.facts.unread = state.why;
  }
  return report;
}

}  // namespace keldar
