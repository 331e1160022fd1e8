#include "usb/topology.h"

#include <cstdio>
#include <cstring>

#include "usb/access.h"

namespace keldar {

namespace {

// Controllers and hubs are opened alike: the hub drivers take their IOCTLs on a handle opened
// for writing, and sharing write access leaves the device usable by other USB tools meanwhile.
HANDLE OpenDevice(Platform& platform, const char* path) {
  return platform.CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
}

// "\\.\" followed by the device name; none when there is no name.
AnsiText DevicePath(const AnsiText& name) {
  if (!name) return {};
  const std::size_t length = std::strlen(name.get());
  auto bytes = std::make_unique<char[]>(length + 5);
  std::memcpy(bytes.get(), "\\\\.\\", 4);
  std::memcpy(bytes.get() + 4, name.get(), length + 1);
  return AnsiText::Adopt(std::move(bytes));
}

// Opens a hub by its path into `handle` and reads its node information into `record`. Without
// a name there is nothing to open, and the handle marks the failed open. The handle stays open
// for the rest of the walk: the ports below the hub are queried through it. A device this
// detection has already walked is not opened again: it reads as a hub that cannot be opened.
bool OpenHubAndQuery(UsbContext& context, const AnsiText& path, HANDLE& handle,
                     USB_NODE_INFORMATION* record, std::string& openedPath) {
  openedPath.clear();
  if (!path || context.store.WasWalked(path.get())) {
    handle = INVALID_HANDLE_VALUE;
    return false;
  }
  handle = OpenDevice(context.platform, path.get());
  context.store.KeepHubHandle(context.platform, handle);
  DWORD returned = 0;
  if (!context.platform.DeviceIoControl(handle, IOCTL_USB_GET_NODE_INFORMATION, record,
                                       sizeof *record, record, sizeof *record, &returned,
                                       nullptr))
    return false;
  openedPath = path.get();
  return true;
}

}  // namespace

// ---- PCHost ----

PCHost::PCHost(Platform& platform)
    : platform_(platform), handles(new HANDLE[kMaxControllers]), count(0) {
  OpenControllers();
}

PCHost::~PCHost() {
  for (int slot = 0; slot < count; ++slot) platform_.CloseHandle(handles[slot]);
  delete[] handles;
}

void PCHost::OpenControllers() {
  // Controllers opened by an earlier search would otherwise stay open unowned.
  for (int slot = 0; slot < count; ++slot) platform_.CloseHandle(handles[slot]);
  count = 0;
  // The controllers are numbered without gaps: the first one that cannot be opened ends the
  // search, even when a higher number exists.
  for (int number = 0; number < kMaxControllers; ++number) {
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\HCD%d", number);
    handles[number] = OpenDevice(platform_, path);
    if (handles[number] == INVALID_HANDLE_VALUE) return;
    ++count;
  }
}

HANDLE PCHost::GetControllerHandle(int index) const {
  if (index < 0 || index >= count) return nullptr;
  return handles[index];
}

// ---- HCDevice ----

HCDevice::HCDevice(UsbContext& context, HANDLE controllerHandle)
    : context_(context),
      nodeInfo(nullptr),
      portCount(0),
      controller(controllerHandle),
      rootHub(nullptr) {
  OpenRootHub();
}

const USB_NODE_INFORMATION* HCDevice::OpenRootHub() {
  // A new record and a new handle on every call; those of an earlier call stay with the
  // detection's store, where the node table may still point.
  USB_NODE_INFORMATION* record = context_.store.NewNodeInformation();
  nodeInfo = nullptr;
  if (!OpenHubAndQuery(context_, RootHubPath(), rootHub, record, rootHubPath)) return nullptr;
  nodeInfo = record;
  portCount = record->HubInformation.HubDescriptor.bNumberOfPorts;
  return record;
}

AnsiText HCDevice::QueryRootHubName() {
  return QueryName(context_.platform, controller,
                   {.controlCode = IOCTL_USB_GET_ROOT_HUB_NAME, .perConnection = false,
                    .bufferIsInput = false, .emptyIsNone = false, .connectionIndex = 0});
}

AnsiText HCDevice::RootHubPath() { return DevicePath(QueryRootHubName()); }

AnsiText HCDevice::QueryDriverKey() {
  return QueryName(context_.platform, controller,
                   {.controlCode = IOCTL_GET_HCD_DRIVERKEY_NAME, .perConnection = false,
                    .bufferIsInput = true, .emptyIsNone = true, .connectionIndex = 0});
}

// ---- Port ----

Port::Port(UsbContext& context, HANDLE parentHubHandle, int index)
    : context_(context),
      connInfo(nullptr),
      connectionIndex(index),
      parentHub(parentHubHandle),
      isHub(0),
      hub(nullptr),
      hubNodeInfo(nullptr),
      hubPortCount(0) {
  QueryConnection();
}

void Port::QueryConnection() {
  USB_NODE_CONNECTION_INFORMATION* record = context_.store.NewConnectionInformation();
  record->ConnectionIndex = static_cast<std::uint32_t>(connectionIndex);
  DWORD returned = 0;
  // A hub that fails this query has usually lost the device or gone away itself in the middle
  // of the walk. That is no reason to end the program: the port keeps no record, reads as
  // having nothing attached, and the walk goes on with the next port.
  if (!context_.platform.DeviceIoControl(parentHub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION,
                                         record, sizeof *record, record, sizeof *record,
                                         &returned, nullptr)) {
    connInfo = nullptr;
    return;
  }
  connInfo = record;
  if (record->DeviceIsHub != 0) {
    isHub = 1;
    OpenHub();
  }
}

const USB_NODE_INFORMATION* Port::OpenHub() {
  USB_NODE_INFORMATION* record = context_.store.NewNodeInformation();
  hubNodeInfo = nullptr;
  if (!OpenHubAndQuery(context_, HubPath(), hub, record, hubPath)) return nullptr;
  hubNodeInfo = record;
  hubPortCount = record->HubInformation.HubDescriptor.bNumberOfPorts;
  return record;
}

AnsiText Port::QueryDriverKey() {
  return QueryName(context_.platform, parentHub,
                   {.controlCode = IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
                    .perConnection = true,
                    .bufferIsInput = true,
                    .emptyIsNone = true,
                    .connectionIndex = static_cast<std::uint32_t>(connectionIndex)});
}

AnsiText Port::QueryHubName() {
  // Asked by the port number the hub echoed in the connection record; a port without that
  // record has nothing attached to name.
  if (connInfo == nullptr) return {};
  return QueryName(context_.platform, parentHub,
                   {.controlCode = IOCTL_USB_GET_NODE_CONNECTION_NAME,
                    .perConnection = true,
                    .bufferIsInput = true,
                    .emptyIsNone = false,
                    .connectionIndex = connInfo->ConnectionIndex});
}

AnsiText Port::HubPath() { return DevicePath(QueryHubName()); }

}  // namespace keldar
