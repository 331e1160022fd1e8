// The device tree and its node table: the computer, its host controllers, each root hub, and
// below every hub one item per port (an empty port, a device, or an external hub with its own
// ports), with one node-table row per item.
#pragma once

#include <functional>
#include <memory>

#include "detect/node_table.h"
#include "platform/platform.h"
#include "ui/views.h"
#include "usb/detection_store.h"
#include "usb/friendly_names.h"

namespace keldar {

class Port;

// Tree images, by index into the image list the dialog fills (computer, hub, USB pair, USB).
inline constexpr int kComputerImage = 0;
inline constexpr int kUsbPairImage = 2;
inline constexpr int kUsbImage = 3;

// The tree's colours, which the dialog's two lists share: dark green on light grey (COLORREF).
inline constexpr Colour kTreeTextColour = 0x003300;
inline constexpr Colour kTreeBkColour = 0xF0F0F0;

// USB allows the root hub plus five tiers of external hubs; a hub reported deeper than that
// is shown, but its ports are not walked.
inline constexpr int kMaxExternalHubTiers = 5;

class DeviceTree {
 public:
  // Called with GetLastError when the computer name is unavailable. The default ends the
  // process with that code; a handler that returns leaves the tree and the node table empty.
  using ComputerNameFailure = std::function<void(DWORD error)>;

  DeviceTree(Platform& platform, TreeView& deviceTree, ImageListHandle treeImages);
  ~DeviceTree();
  DeviceTree(const DeviceTree&) = delete;
  DeviceTree& operator=(const DeviceTree&) = delete;

  // Throws the previous tree, node table and store away and builds all three afresh.
  void BuildDeviceTree();

  void SetComputerNameFailure(ComputerNameFailure handler) { computerNameFailure_ = std::move(handler); }
  // True when the last build stopped because the computer name was unavailable.
  bool BuildAbandoned() const { return buildAbandoned_; }

  const NodeTable& Nodes() const { return nodes_; }
  // True when the last build's controller search stopped at its bound with controllers left.
  bool ControllersLeftOut() const { return controllersLeftOut_; }
  // How many requests of the last build went unanswered past their deadline and were
  // cancelled: what they asked shows as not answered.
  const std::vector<DeviceRequests::UnansweredDevice>& UnansweredDevices() const {
    return unansweredDevices_;
  }
  // The friendly names of the last build's detection, read once for all its lookups.
  FriendlyNameLookup& FriendlyNames() { return friendlyNames_; }
  // The store of the last build; null before the first.
  const DetectionStore* Store() const { return store_.get(); }

 private:
  void AppendNode(NodeKind kind, TreeItem item, const USB_NODE_INFORMATION* hubInfo,
                  const USB_NODE_CONNECTION_INFORMATION* connectionInfo, const char* label);
  void AddEmptyPortNode(int portNumber, TreeItem parent);
  // Adds the item and row of a port with something attached, and walks an external hub's ports.
  void AddPortNode(UsbContext& context, Port& port, TreeItem parent, int hubTier);
  // Adds the ports 1..portCount of a hub `hubTier` external hubs below its root hub.
  void AddHubPorts(UsbContext& context, HANDLE hub, int portCount, TreeItem hubItem, int hubTier);

  Platform& platform_;
  TreeView& deviceTree_;
  ImageListHandle treeImages_;
  NodeTable nodes_;
  std::unique_ptr<DetectionStore> store_;
  FriendlyNameLookup friendlyNames_;
  ComputerNameFailure computerNameFailure_;
  bool buildAbandoned_ = false;
  bool controllersLeftOut_ = false;
  std::vector<DeviceRequests::UnansweredDevice> unansweredDevices_;
};

}  // namespace keldar
