// The device tree and its node table: the computer, its host controllers, each root hub, and
// below every hub one item per port (an empty port, a device, or an external hub with its own
// ports). Row i of the node table describes the i-th tree item in depth-first pre-order; the
// identification pass and the detail list find nodes through it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "ui/views.h"
#include "usb/detection_store.h"
#include "usb/friendly_names.h"
#include "usb/records.h"

namespace keldar {

class Port;

enum NodeKind : std::int32_t { Computer = 0, HostController = 1, Hub = 2, PortDevice = 3 };

// One row of the node table. The records and the label live in the detection's store.
struct NodeEntry {
  NodeKind kind;
  TreeItem treeItem;
  const USB_NODE_INFORMATION* hubInfo;                   // Hub rows only; null if the query failed
  const USB_NODE_CONNECTION_INFORMATION* connectionInfo;  // attached devices only
  const char* label;                                     // may be null
};

// Tree images, by index into the image list the dialog fills (computer, hub, USB pair, USB).
inline constexpr int kComputerImage = 0;
inline constexpr int kUsbPairImage = 2;
inline constexpr int kUsbImage = 3;

// USB allows the root hub plus five tiers of external hubs; a hub reported deeper than that
// is shown, but its ports are not walked.
inline constexpr int kMaxExternalHubTiers = 5;

class DeviceTree {
 public:
  // Called with GetLastError when the computer name is unavailable. The default ends the
  // process with that code; a handler that returns leaves the tree and the node table empty.
  using ComputerNameFailure = std::function<void(DWORD error)>;

  DeviceTree(Platform& platform, TreeView& deviceTree, ImageListHandle treeImages);
  virtual ~DeviceTree();
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  // Throws the previous tree, node table and store away and builds all three afresh.
  void BuildDeviceTree();
  // Adds the item and row of a port with something attached, and walks an external hub's ports.
  void AddPortNode(Port& port, TreeItem parent);

  void SetComputerNameFailure(ComputerNameFailure handler) { m_computerNameFailure = std::move(handler); }
  // True when the last build stopped because the computer name was unavailable.
  bool BuildAbandoned() const { return m_buildAbandoned; }

  const std::vector<NodeEntry>& Nodes() const { return m_nodes; }
  int NodeCount() const { return m_nodeCount; }
  // The store of the last build; null before the first.
  const DetectionStore* Store() const { return m_store.get(); }

 protected:
  // How many rows a reader may walk: the tree's item count, bounded by the rows in use.
  int ReadableRows() const;
  // The first row whose tree item is `item`, or -1. Rows are found by their item; the index
  // spares the detail list a walk over the whole table on every selection.
  int RowOfItem(TreeItem item) const;
  // The friendly name FindFriendlyName would give for `driverKey`, from the detection's one
  // reading of the device-installation database (made at the first lookup); null when none.
  const char* FriendlyName(const char* driverKey);

  Platform& m_platform;
  TreeView& m_deviceTree;
  ImageListHandle m_treeImages;
  std::vector<NodeEntry> m_nodes;
  std::int32_t m_nodeCount = 0;
  std::unique_ptr<DetectionStore> m_store;
  std::unordered_map<TreeItem, int> m_rowOfItem;
  // Read at the first lookup of a detection; every later lookup of that detection uses it.
  std::optional<FriendlyNames> m_friendlyNames;

 private:
  void AppendNode(NodeKind kind, TreeItem item, const USB_NODE_INFORMATION* hubInfo,
                  const USB_NODE_CONNECTION_INFORMATION* connectionInfo, const char* label);
  void AddEmptyPortNode(int portNumber, TreeItem parent);
  // Adds the ports 1..portCount of a hub under its item.
  void AddHubPorts(UsbContext& context, HANDLE hub, int portCount, TreeItem hubItem);

  ComputerNameFailure m_computerNameFailure;
  bool m_buildAbandoned = false;
  UsbContext* m_context = nullptr;  // while a build runs
  int m_externalHubTier = 0;        // external hubs above the ports being walked
};

}  // namespace keldar
