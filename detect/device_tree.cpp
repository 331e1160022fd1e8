#include "detect/device_tree.h"

#include <cstdio>
#include <cstdlib>

#include "usb/access.h"
#include "usb/topology.h"

namespace keldar {

namespace {

constexpr const char* kRootHubText = "RootHub";
constexpr const char* kEmptyPortLabel = "No Device Connected!";

bool HasSomethingAttached(const USB_NODE_CONNECTION_INFORMATION* connectionInfo) {
  // A port whose connection information could not be read counts as empty. Any other status
  // than NoDeviceConnected (a device that failed enumeration, an over-current port) is a port
  // with something on it.
  return connectionInfo != nullptr && connectionInfo->ConnectionStatus != 0;
}

}  // namespace

DeviceTree::DeviceTree(Platform& platform, TreeView& deviceTree, ImageListHandle treeImages)
    : platform_(platform),
      deviceTree_(deviceTree),
      treeImages_(treeImages),
      nodes_(deviceTree),
      friendlyNames_(platform),
      computerNameFailure_([](DWORD error) { std::exit(static_cast<int>(error)); }) {}

DeviceTree::~DeviceTree() = default;

void DeviceTree::AppendNode(NodeKind kind, TreeItem item, const USB_NODE_INFORMATION* hubInfo,
                            const USB_NODE_CONNECTION_INFORMATION* connectionInfo,
                            const char* label) {
  nodes_.Append(NodeEntry{kind, item, hubInfo, connectionInfo, label});
}

void DeviceTree::BuildDeviceTree() {
  deviceTree_.DeleteAllItems();
  // Nothing refers to the previous detection any longer: its rows go, and with the old store
  // its records and texts.
  nodes_.Clear();
  store_ = std::make_unique<DetectionStore>();
  friendlyNames_.Reset();
  buildAbandoned_ = false;
  controllersLeftOut_ = false;
  unansweredDevices_.clear();

  deviceTree_.SetNormalImageList(treeImages_);
  deviceTree_.SetTextColor(kTreeTextColour);
  deviceTree_.SetBkColor(kTreeBkColour);

  auto nameBuffer = std::make_unique<char[]>(kComputerNameBufferSize);
  DWORD nameSize = kComputerNameBufferSize;
  if (!platform_.GetComputerNameA(nameBuffer.get(), &nameSize)) {
    buildAbandoned_ = true;
    computerNameFailure_(platform_.GetLastError());
    return;
  }
  // A name that fills the buffer without its terminator is cut, not read past.
  nameBuffer[kComputerNameBufferSize - 1] = '\0';
  const char* computerName = store_->Keep(AnsiText::Adopt(std::move(nameBuffer)));

  const TreeItem computerItem =
      deviceTree_.InsertItem(computerName, kComputerImage, kComputerImage, kTreeRoot);
  AppendNode(Computer, computerItem, nullptr, nullptr, computerName);

  DeviceRequests requests(platform_);
  UsbContext context{platform_, *store_, requests};
  {
    PCHost host(requests);
    controllersLeftOut_ = host.InterfaceListCut();
    // A controller is no hub: a hub name that reaches one is not opened as a hub.
    for (int i = 0; i < host.GetControllerCount(); ++i) store_->MarkWalked(host.GetControllerPath(i));
    for (int i = 0; i < host.GetControllerCount(); ++i) {
      HCDevice controller(context, host.GetControllerHandle(i), host.GetControllerDriverKey(i));

      const TreeItem controllerItem =
          deviceTree_.InsertItem(friendlyNames_.Find(controller.DriverKey()), kUsbPairImage,
                                  kUsbPairImage, computerItem);
      AppendNode(HostController, controllerItem, nullptr, nullptr, controller.DriverKey());

      if (controller.RootHubName() == nullptr) continue;

      const TreeItem rootHubItem =
          deviceTree_.InsertItem(kRootHubText, kUsbPairImage, kUsbPairImage, controllerItem);
      const USB_NODE_INFORMATION* rootHubInfo = controller.RootHubInfo();
      AppendNode(Hub, rootHubItem, rootHubInfo, nullptr, controller.RootHubName());

      if (rootHubInfo != nullptr) context.store.MarkWalked(controller.GetRootHubPath());
      AddHubPorts(context, controller.GetRootHubHandle(), controller.GetPortCount(), rootHubItem, 0);
      if (controller.GetPortCount() > 0) deviceTree_.Expand(rootHubItem);
      deviceTree_.Expand(controllerItem);
    }
    deviceTree_.Expand(computerItem);
  }
  // Hub handles serve only as parents of the ports below them while the walk runs.
  store_->CloseHubHandles();
  unansweredDevices_ = requests.UnansweredDevices();
}

void DeviceTree::AddHubPorts(UsbContext& context, HANDLE hub, int portCount, TreeItem hubItem,
                             int hubTier) {
  for (int portNumber = 1; portNumber <= portCount; ++portNumber) {
    Port port(context, hub, portNumber);
    if (HasSomethingAttached(port.GetConnectionInfo()))
      AddPortNode(context, port, hubItem, hubTier);
    else
      AddEmptyPortNode(portNumber, hubItem);
  }
}

void DeviceTree::AddEmptyPortNode(int portNumber, TreeItem parent) {
  // Room for any int, not just the 255 ports a hub can have.
  char text[48];
  std::snprintf(text, sizeof text, "[Port%d]NoDeviceConnected", portNumber);
  const TreeItem item = deviceTree_.InsertItem(text, kUsbImage, kUsbImage, parent);
  AppendNode(PortDevice, item, nullptr, nullptr, kEmptyPortLabel);
}

void DeviceTree::AddPortNode(UsbContext& context, Port& port, TreeItem parent, int hubTier) {
  const USB_NODE_CONNECTION_INFORMATION* connectionInfo = port.GetConnectionInfo();
  if (connectionInfo == nullptr) return;

  const TreeItem item = deviceTree_.InsertItem(friendlyNames_.Find(port.DriverKey()),
                                                kUsbPairImage, kUsbPairImage, parent);

  if (connectionInfo->DeviceIsHub == 0) {
    AppendNode(PortDevice, item, nullptr, connectionInfo, port.DriverKey());
    return;
  }

  const USB_NODE_INFORMATION* hubInfo = port.HubInfo();
  AppendNode(Hub, item, hubInfo, nullptr, port.HubName());
  // External hub items stay collapsed until the user opens them.
  if (hubTier >= kMaxExternalHubTiers) return;
  if (hubInfo != nullptr) context.store.MarkWalked(port.GetHubPath());
  AddHubPorts(context, port.GetHubHandle(), port.GetHubPortCount(), item, hubTier + 1);
}

}  // namespace keldar
