#include "detect/device_tree.h"

#include <cstdio>
#include <cstdlib>

#include "usb/access.h"
#include "usb/topology.h"

namespace keldar {

namespace {

constexpr Colour kTreeTextColour = 0x003300;
constexpr Colour kTreeBkColour = 0xF0F0F0;

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
    : m_platform(platform),
      m_deviceTree(deviceTree),
      m_treeImages(treeImages),
      m_nodes(deviceTree),
      m_friendlyNames(platform),
      m_computerNameFailure([](DWORD error) { std::exit(static_cast<int>(error)); }) {}

DeviceTree::~DeviceTree() = default;

void DeviceTree::AppendNode(NodeKind kind, TreeItem item, const USB_NODE_INFORMATION* hubInfo,
                            const USB_NODE_CONNECTION_INFORMATION* connectionInfo,
                            const char* label) {
  m_nodes.Append(NodeEntry{kind, item, hubInfo, connectionInfo, label});
}

void DeviceTree::BuildDeviceTree() {
  m_deviceTree.DeleteAllItems();
  // Nothing refers to the previous detection any longer: its rows go, and with the old store
  // its records and texts.
  m_nodes.Clear();
  m_store = std::make_unique<DetectionStore>();
  m_friendlyNames.Reset();
  m_buildAbandoned = false;
  m_controllersLeftOut = false;

  m_deviceTree.SetNormalImageList(m_treeImages);
  m_deviceTree.SetTextColor(kTreeTextColour);
  m_deviceTree.SetBkColor(kTreeBkColour);

  auto nameBuffer = std::make_unique<char[]>(kComputerNameBufferSize);
  DWORD nameSize = kComputerNameBufferSize;
  if (!m_platform.GetComputerNameA(nameBuffer.get(), &nameSize)) {
    m_buildAbandoned = true;
    m_computerNameFailure(m_platform.GetLastError());
    return;
  }
  // A name that fills the buffer without its terminator is cut, not read past.
  nameBuffer[kComputerNameBufferSize - 1] = '\0';
  const char* computerName = m_store->Keep(AnsiText::Adopt(std::move(nameBuffer)));

  const TreeItem computerItem =
      m_deviceTree.InsertItem(computerName, kComputerImage, kComputerImage, kTreeRoot);
  AppendNode(Computer, computerItem, nullptr, nullptr, computerName);

  UsbContext context{m_platform, *m_store};
  {
    PCHost host(m_platform);
    m_controllersLeftOut = host.InterfaceListCut();
    // A controller is no hub: a hub name that reaches one is not opened as a hub.
    for (int i = 0; i < host.GetControllerCount(); ++i) m_store->MarkWalked(host.GetControllerPath(i));
    for (int i = 0; i < host.GetControllerCount(); ++i) {
      HCDevice controller(context, host.GetControllerHandle(i));

      const TreeItem controllerItem =
          m_deviceTree.InsertItem(m_friendlyNames.Find(controller.QueryDriverKey().get()), kUsbPairImage,
                                  kUsbPairImage, computerItem);
      AppendNode(HostController, controllerItem, nullptr, nullptr,
                 m_store->Keep(controller.QueryDriverKey()));

      if (!controller.QueryRootHubName()) continue;

      const TreeItem rootHubItem =
          m_deviceTree.InsertItem(kRootHubText, kUsbPairImage, kUsbPairImage, controllerItem);
      const USB_NODE_INFORMATION* rootHubInfo = controller.OpenRootHub();
      AppendNode(Hub, rootHubItem, rootHubInfo, nullptr,
                 m_store->Keep(controller.QueryRootHubName()));

      if (rootHubInfo != nullptr) context.store.MarkWalked(controller.GetRootHubPath());
      AddHubPorts(context, controller.GetRootHubHandle(), controller.GetPortCount(), rootHubItem, 0);
      if (controller.GetPortCount() > 0) m_deviceTree.Expand(rootHubItem);
      m_deviceTree.Expand(controllerItem);
    }
    m_deviceTree.Expand(computerItem);
  }
  // Hub handles serve only as parents of the ports below them while the walk runs.
  m_store->CloseHubHandles();
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
  const TreeItem item = m_deviceTree.InsertItem(text, kUsbImage, kUsbImage, parent);
  AppendNode(PortDevice, item, nullptr, nullptr, kEmptyPortLabel);
}

void DeviceTree::AddPortNode(UsbContext& context, Port& port, TreeItem parent, int hubTier) {
  const USB_NODE_CONNECTION_INFORMATION* connectionInfo = port.GetConnectionInfo();
  if (connectionInfo == nullptr) return;

  const TreeItem item = m_deviceTree.InsertItem(m_friendlyNames.Find(port.QueryDriverKey().get()),
                                                kUsbPairImage, kUsbPairImage, parent);

  if (connectionInfo->DeviceIsHub == 0) {
    AppendNode(PortDevice, item, nullptr, connectionInfo, m_store->Keep(port.QueryDriverKey()));
    return;
  }

  const USB_NODE_INFORMATION* hubInfo = port.OpenHub();
  AppendNode(Hub, item, hubInfo, nullptr, m_store->Keep(port.QueryHubName()));
  // External hub items stay collapsed until the user opens them.
  if (hubTier >= kMaxExternalHubTiers) return;
  if (hubInfo != nullptr) context.store.MarkWalked(port.GetHubPath());
  AddHubPorts(context, port.GetHubHandle(), port.GetHubPortCount(), item, hubTier + 1);
}

}  // namespace keldar
