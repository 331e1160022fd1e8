#include "usb/topology.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "usb/access.h"
#include "usb/property_reader.h"

namespace keldar {

namespace {

// "\\.\" followed by the device name; empty when there is no name.
std::string DevicePath(const char* name) {
  if (name == nullptr) return {};
  return std::string(kDevicePathPrefix) + name;
}

// Opens a hub by its path into `handle` and reads its node information into `record`. Without
// a name there is nothing to open, and the handle marks the failed open. The handle stays open
// for the rest of the walk: the ports below the hub are queried through it. A device this
// detection has already walked is not opened again: it reads as a hub that cannot be opened.
bool OpenHubAndQuery(UsbContext& context, const std::string& path, HANDLE& handle,
                     USB_NODE_INFORMATION* record, std::string& openedPath) {
  openedPath.clear();
  if (path.empty() || context.store.WasWalked(path)) {
    handle = INVALID_HANDLE_VALUE;
    return false;
  }
  handle = context.requests.Open(path.c_str());
  // A hub that did not open has no handle to ask: it shows as a hub without ports.
  if (handle == INVALID_HANDLE_VALUE) return false;
  context.store.KeepHubHandle(context.platform, handle);
  // A hub that does not answer in time shows as one that does not answer at all.
  if (!context.requests.Send(handle, IOCTL_USB_GET_NODE_INFORMATION, record, sizeof *record,
                             record, sizeof *record))
    return false;
  openedPath = path;
  return true;
}

AnsiText QueryControllerDriverKey(DeviceRequests& requests, HANDLE controller) {
  return QueryName(requests, controller,
                   {.controlCode = IOCTL_GET_HCD_DRIVERKEY_NAME, .perConnection = false,
                    .bufferIsInput = true, .emptyIsNone = true, .connectionIndex = 0});
}

// The path that opens a device interface, asked in two calls (size, then path), the second
// filling in the interface's device-information entry. None when either call fails or the
// size is absurd. The path is read within the bytes allocated here, whether or not the
// platform terminated it.
AnsiText InterfacePath(Platform& platform, HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData,
                       SP_DEVINFO_DATA& entry) {
  constexpr DWORD kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  DWORD required = 0;
  platform.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
  if (required <= kPathOffset || required > kMaxNameReplySize) return {};
  // DWORDs, so the record's cbSize is aligned.
  std::vector<DWORD> block((required + sizeof(DWORD) - 1) / sizeof(DWORD) + 1, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data());
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!platform.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr,
                                                 &entry))
    return {};
  const char* path = detail->DevicePath;
  const std::size_t room = required - kPathOffset;
  std::size_t length = 0;
  while (length < room && path[length] != '\0') ++length;
  if (length == 0) return {};
  return AnsiText::Copy(path, length);
}

// The driver key the device-information entry holds (SPDRP_DRIVER); none when it cannot be
// read or is empty.
AnsiText EntryDriverKey(Platform& platform, HDEVINFO set, SP_DEVINFO_DATA& entry) {
  WorkingBuffer buffer;
  DWORD size = 0;
  DWORD required = 0;
  if (!ReadProperty(platform, set, entry, SPDRP_DRIVER, buffer, size, required) ||
      buffer.text()[0] == '\0')
    return {};
  return buffer.Release();
}

}  // namespace

// ---- PCHost ----

PCHost::PCHost(DeviceRequests& requests) : requests_(requests), platform_(requests.platform()) {
  OpenControllers();
}

PCHost::~PCHost() { CloseControllers(); }

void PCHost::CloseControllers() {
  for (HANDLE handle : handles_) platform_.CloseHandle(handle);
  handles_.clear();
  paths_.clear();
  driverKeys_.clear();
}

void PCHost::OpenControllers() {
  // Controllers opened by an earlier search would otherwise stay open unowned.
  CloseControllers();
  interfaceListCut_ = false;
  // The numbers have gaps on real machines (a controller disabled, a dock gone, a link never
  // made): a number that does not open says nothing about the numbers after it.
  std::set<std::string> driverKeys;
  for (int number = 0; number < kHcdLinkCount; ++number) {
    char path[16];
    std::snprintf(path, sizeof path, "\\\\.\\HCD%d", number);
    const HANDLE handle = requests_.Open(path);
    if (handle == INVALID_HANDLE_VALUE) continue;
    handles_.push_back(handle);
    paths_.emplace_back(path);
    AnsiText key = QueryControllerDriverKey(requests_, handle);
    if (key) driverKeys.insert(key.get());
    driverKeys_.push_back(std::move(key));
  }
  OpenInterfaceControllers(driverKeys);
}

void PCHost::OpenInterfaceControllers(std::set<std::string>& driverKeys) {
  const HDEVINFO set = platform_.SetupDiGetClassDevsA(&kUsbHostControllerInterface, nullptr,
                                                      nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!platform_.SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbHostControllerInterface, index,
                                               &interfaceData))
      break;
    // The list still answers past the bound: what lies beyond is not walked, and is said.
    if (index == kMaxInterfaceControllers) {
      interfaceListCut_ = true;
      break;
    }
    SP_DEVINFO_DATA entry{};
    entry.cbSize = sizeof entry;
    const AnsiText path = InterfacePath(platform_, set, interfaceData, entry);
    if (!path) continue;
    // The entry names the controller's driver key without opening it: one an HCD link has
    // opened already is not opened a second time. A key the entry does not give, or gives but
    // nobody opened, is asked of the controller itself, which alone decides.
    const AnsiText entryKey = EntryDriverKey(platform_, set, entry);
    if (entryKey && driverKeys.count(entryKey.get()) != 0) continue;
    const HANDLE handle = requests_.Open(path.get());
    if (handle == INVALID_HANDLE_VALUE) continue;
    // A controller is known by its driver key; one whose key cannot be read cannot be told
    // apart from those an HCD link opened, and is left out rather than shown twice.
    AnsiText key = QueryControllerDriverKey(requests_, handle);
    if (!key || !driverKeys.insert(key.get()).second) {
      platform_.CloseHandle(handle);
      continue;
    }
    handles_.push_back(handle);
    paths_.emplace_back(path.get());
    driverKeys_.push_back(std::move(key));
  }
  platform_.SetupDiDestroyDeviceInfoList(set);
}

HANDLE PCHost::GetControllerHandle(int index) const {
  if (index < 0 || index >= GetControllerCount()) return nullptr;
  return handles_[static_cast<std::size_t>(index)];
}

// ---- HCDevice ----

HCDevice::HCDevice(UsbContext& context, HANDLE controllerHandle, const char* driverKey)
    : context_(context),
      portCount(0),
      controller(controllerHandle),
      rootHub(nullptr),
      driverKey_(driverKey != nullptr ? context.store.Keep(AnsiText::Copy(driverKey)) : nullptr) {
  rootHubName_ = context_.store.Keep(
      QueryName(context_.requests, controller,
                {.controlCode = IOCTL_USB_GET_ROOT_HUB_NAME, .perConnection = false,
                 .bufferIsInput = false, .emptyIsNone = true, .connectionIndex = 0}));
  USB_NODE_INFORMATION* record = context_.store.NewNodeInformation();
  if (!OpenHubAndQuery(context_, DevicePath(rootHubName_), rootHub, record, rootHubPath)) return;
  portCount = record->HubInformation.HubDescriptor.bNumberOfPorts;
  rootHubInfo_ = record;
}

// ---- Port ----

Port::Port(UsbContext& context, HANDLE parentHubHandle, int index)
    : context_(context),
      connInfo(nullptr),
      connectionIndex(index),
      parentHub(parentHubHandle),
      hub(nullptr),
      hubPortCount(0) {
  QueryConnection();
}

void Port::QueryConnection() {
  USB_NODE_CONNECTION_INFORMATION* record = context_.store.NewConnectionInformation();
  record->ConnectionIndex = static_cast<std::uint32_t>(connectionIndex);
  // A hub that fails this query has usually lost the device or gone away itself in the middle
  // of the walk. That is no reason to end the program: the port keeps no record, reads as
  // having nothing attached, and the walk goes on with the next port.
  if (!context_.requests.Send(parentHub, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, record,
                              sizeof *record, record, sizeof *record)) {
    connInfo = nullptr;
    return;
  }
  connInfo = record;
  if (record->DeviceIsHub != 0) OpenHub();
}

void Port::OpenHub() {
  USB_NODE_INFORMATION* record = context_.store.NewNodeInformation();
  if (!OpenHubAndQuery(context_, DevicePath(HubName()), hub, record, hubPath)) return;
  hubPortCount = record->HubInformation.HubDescriptor.bNumberOfPorts;
  hubInfo_ = record;
}

const char* Port::DriverKey() {
  if (!driverKeyAsked_) {
    driverKeyAsked_ = true;
    driverKey_ = context_.store.Keep(
        QueryName(context_.requests, parentHub,
                  {.controlCode = IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME,
                   .perConnection = true,
                   .bufferIsInput = true,
                   .emptyIsNone = true,
                   .connectionIndex = static_cast<std::uint32_t>(connectionIndex)}));
  }
  return driverKey_;
}

const char* Port::HubName() {
  // Asked by the port number the hub echoed in the connection record; a port without that
  // record has nothing attached to name.
  if (connInfo == nullptr || hubNameAsked_) return hubName_;
  hubNameAsked_ = true;
  hubName_ = context_.store.Keep(
      QueryName(context_.requests, parentHub,
                {.controlCode = IOCTL_USB_GET_NODE_CONNECTION_NAME,
                 .perConnection = true,
                 .bufferIsInput = true,
                 .emptyIsNone = true,
                 .connectionIndex = connInfo->ConnectionIndex}));
  return hubName_;
}

}  // namespace keldar
