#include "backends/model/model_platform.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "text/text_codec.h"
#include "platform/name_reply.h"
#include "platform/records.h"

namespace keldar {

namespace {

using model::NameFault;
using model::PortsInOrder;

constexpr DWORD kErrorBufferOverflow = 111;
constexpr DWORD kRegSz = 1;
constexpr DWORD kRegDword = 4;
constexpr DWORD kRegMultiSz = 7;
constexpr CONFIGRET kCrInvalidPointer = 0x3;

// What a USB device's entry lists as its hardware IDs, most specific first.
std::string HardwareIdsOf(const model::DeviceDescriptor& descriptor) {
  char id[32], revision[48];
  std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", descriptor.idVendor, descriptor.idProduct);
  std::snprintf(revision, sizeof revision, "%s&REV_%04X", id, descriptor.bcdDevice);
  return std::string(revision) + '\0' + id + '\0' + '\0';
}
// What a name reply announces for AbsurdLength: far beyond any real name, yet positive.
constexpr std::uint32_t kAbsurdLength = 0x7FFFFFF0;

void PutLe16(std::vector<unsigned char>& bytes, std::uint16_t value) {
  bytes.push_back(static_cast<unsigned char>(value & 0xFF));
  bytes.push_back(static_cast<unsigned char>(value >> 8));
}

void PutLe32(std::vector<unsigned char>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    bytes.push_back(static_cast<unsigned char>((value >> shift) & 0xFF));
}

template <typename Visit>
void ForEachHub(const model::Hub& hub, Visit& visit) {
  visit(hub);
  for (const model::Port* port : PortsInOrder(hub))
    if (port->device && port->device->hub) ForEachHub(*port->device->hub, visit);
}

template <typename Visit>
void ForEachDevice(const model::Hub& hub, Visit& visit) {
  for (const model::Port* port : PortsInOrder(hub)) {
    if (!port->device) continue;
    visit(*port->device);
    if (port->device->hub) ForEachDevice(*port->device->hub, visit);
  }
}

HANDLE AsHandle(std::uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

// The request states an OVERLAPPED's Internal holds.
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;

}  // namespace

ModelPlatform::ModelPlatform(const model::UsbModel& model) : model_(model) {}

ModelPlatform::ModelPlatform(model::UsbModel&& model)
    : owned_(std::make_unique<const model::UsbModel>(std::move(model))), model_(*owned_) {}

BOOL ModelPlatform::Fail(DWORD error) {
  lastError_ = error;
  return FALSE;
}

std::uintptr_t ModelPlatform::NewHandleValue() {
  // Kernel handles are multiples of 4; never 0 and never the all-ones INVALID_HANDLE_VALUE.
  lastHandleValue_ += 4;
  return lastHandleValue_;
}

const model::Hub* ModelPlatform::FindHub(const std::string& name) {
  if (handles_.empty() || hubsByName_.empty()) {
    hubsByName_.clear();
    auto visit = [&](const model::Hub& hub) { hubsByName_.emplace(hub.name, &hub); };
    for (const model::Controller& controller : model_.controllers)
      if (controller.rootHub) ForEachHub(*controller.rootHub, visit);
  }
  const auto found = hubsByName_.find(name);
  return found == hubsByName_.end() ? nullptr : found->second;
}

HANDLE ModelPlatform::CreateFileA(const char* path, DWORD /*desiredAccess*/,
                                  DWORD /*shareMode*/, void* /*securityAttributes*/,
                                  DWORD /*creationDisposition*/, DWORD flagsAndAttributes,
                                  HANDLE /*templateFile*/) {
  const bool overlapped = (flagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
  ++counts_.createFileCalls;
  auto refuse = [&](DWORD error) {
    ++counts_.failedOpens;
    lastError_ = error;
    return INVALID_HANDLE_VALUE;
  };
  if (path == nullptr) return refuse(ERROR_INVALID_PARAMETER);
  const std::string_view full(path);
  if (const auto index = model::HostControllerInterfaceIndex(full)) {
    if (*index >= model_.controllers.size()) return refuse(ERROR_FILE_NOT_FOUND);
    const model::Controller& controller = model_.controllers[*index];
    if (controller.faults.openFails) return refuse(ERROR_FILE_NOT_FOUND);
    const std::uintptr_t value = NewHandleValue();
    handles_.emplace(value, OpenObject{&controller, nullptr, overlapped});
    return AsHandle(value);
  }
  if (full == kDevicePathPrefix) ++counts_.opensWithoutName;
  if (full.substr(0, kDevicePathPrefix.size()) != kDevicePathPrefix || full.size() == kDevicePathPrefix.size())
    return refuse(ERROR_FILE_NOT_FOUND);
  const std::string_view name = full.substr(kDevicePathPrefix.size());

  OpenObject object;
  object.overlapped = overlapped;
  if (const auto number = model::ControllerNumber(name)) {
    for (std::size_t i = 0; i < model_.controllers.size() && object.controller == nullptr; ++i)
      if (model::HcdNumber(model_, i) == *number) object.controller = &model_.controllers[i];
    if (object.controller == nullptr || object.controller->faults.openFails)
      return refuse(ERROR_FILE_NOT_FOUND);
  } else {
    // The path is ANSI text; hub names in the model are UTF-8.
    const model::Hub* hub = FindHub(AnsiToUtf8(name, model_.ansiCodePage));
    if (hub == nullptr || hub->faults.openFails) return refuse(ERROR_FILE_NOT_FOUND);
    object.hub = hub;
  }
  const std::uintptr_t value = NewHandleValue();
  handles_.emplace(value, object);
  return AsHandle(value);
}

BOOL ModelPlatform::CloseHandle(HANDLE object) {
  if (events_.erase(HandleValue(object)) != 0) return TRUE;
  ++counts_.closeHandleCalls;
  if (handles_.erase(HandleValue(object)) == 0) return Fail(ERROR_INVALID_HANDLE);
  // Closing a handle cancels what is pending on it.
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second != HandleValue(object)) {
      ++it;
      continue;
    }
    it->first->Internal = kStatusCancelled;
    if (const auto event = events_.find(HandleValue(it->first->hEvent)); event != events_.end())
      event->second = true;
    it = pending_.erase(it);
  }
  return TRUE;
}

HANDLE ModelPlatform::CreateEventA(void* /*securityAttributes*/, BOOL /*manualReset*/,
                                   BOOL initialState, const char* /*name*/) {
  // A machine whose hubs all answer at once gives no event, as a platform may: its requests are
  // then sent the blocking way, without the cost of an OVERLAPPED each (the Linux console
  // detects through this platform).
  bool anyHangs = false;
  auto hangs = [&](const model::Hub& hub) { anyHangs |= hub.faults.neverAnswers; };
  for (const model::Controller& controller : model_.controllers)
    if (controller.rootHub) ForEachHub(*controller.rootHub, hangs);
  if (!anyHangs) return nullptr;
  const std::uintptr_t value = NewHandleValue();
  events_.emplace(value, initialState != FALSE);
  return AsHandle(value);
}

DWORD ModelPlatform::WaitForSingleObject(HANDLE object, DWORD /*milliseconds*/) {
  const auto event = events_.find(HandleValue(object));
  if (event == events_.end()) {
    lastError_ = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  return event->second ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL ModelPlatform::CancelIoEx(HANDLE device, OVERLAPPED* overlapped) {
  const auto request = pending_.find(overlapped);
  if (request == pending_.end() || request->second != HandleValue(device))
    return Fail(ERROR_NOT_FOUND);
  ++counts_.cancelledRequests;
  overlapped->Internal = kStatusCancelled;
  overlapped->InternalHigh = 0;
  if (const auto event = events_.find(HandleValue(overlapped->hEvent)); event != events_.end())
    event->second = true;
  pending_.erase(request);
  return TRUE;
}

BOOL ModelPlatform::GetOverlappedResult(HANDLE /*device*/, OVERLAPPED* overlapped,
                                        DWORD* bytesReturned, BOOL /*wait*/) {
  if (overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(overlapped->InternalHigh);
  switch (overlapped->Internal) {
    case kStatusSuccess:
      return TRUE;
    case kStatusPending:
      return Fail(ERROR_IO_INCOMPLETE);
    case kStatusCancelled:
      return Fail(ERROR_OPERATION_ABORTED);
    default:
      return Fail(ERROR_GEN_FAILURE);
  }
}

BOOL ModelPlatform::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                    DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                    DWORD* bytesReturned, void* overlappedRequest) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  const auto found = handles_.find(HandleValue(device));
  if (found == handles_.end()) {
    ++counts_.requestsOnUnopenedHandles;
    return Fail(ERROR_INVALID_HANDLE);
  }
  if (outBuffer == nullptr) outBufferSize = 0;
  if (inBuffer == nullptr) inBufferSize = 0;
  const OpenObject object = found->second;
  // A handle opened for overlapped requests takes them only with an OVERLAPPED.
  auto* overlapped = object.overlapped ? static_cast<OVERLAPPED*>(overlappedRequest) : nullptr;
  if (object.overlapped && overlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (overlapped != nullptr) {
    const auto event = events_.find(HandleValue(overlapped->hEvent));
    if (event == events_.end()) return Fail(ERROR_INVALID_PARAMETER);
    // The request resets its event as it starts.
    event->second = false;
  }
  if (object.hub != nullptr && object.hub->faults.neverAnswers) {
    ++counts_.hubIoctls;
    if (overlapped == nullptr) {
      ++counts_.requestsThatWouldBlock;
      return Fail(ERROR_GEN_FAILURE);
    }
    ++counts_.pendingRequests;
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
    pending_[overlapped] = HandleValue(device);
    return Fail(ERROR_IO_PENDING);
  }
  BOOL answered;
  if (object.controller != nullptr) {
    ++counts_.controllerIoctls;
    answered = AnswerController(*object.controller, ioControlCode, outBuffer, outBufferSize,
                                bytesReturned);
  } else {
    ++counts_.hubIoctls;
    answered = AnswerHub(*object.hub, ioControlCode, inBuffer, inBufferSize, outBuffer,
                         outBufferSize, bytesReturned);
  }
  // Answered at once: the request has ended, and says so as one that pended would.
  if (overlapped != nullptr) {
    overlapped->Internal = answered ? kStatusSuccess : kStatusUnsuccessful;
    overlapped->InternalHigh = answered && bytesReturned != nullptr ? *bytesReturned : 0;
    events_[HandleValue(overlapped->hEvent)] = true;
  }
  return answered;
}

BOOL ModelPlatform::AnswerController(const model::Controller& controller, DWORD code, void* out,
                                     DWORD outSize, DWORD* bytesReturned) {
  switch (code) {
    case IOCTL_USB_GET_ROOT_HUB_NAME:
      ++counts_.rootHubNameQueries;
      if (!controller.rootHub) return Fail(ERROR_GEN_FAILURE);
      return AnswerName(controller.rootHub->name, controller.faults.rootHubName, std::nullopt,
                        out, outSize, bytesReturned);
    case IOCTL_GET_HCD_DRIVERKEY_NAME:
      ++counts_.hcdDriverKeyQueries;
      return AnswerName(controller.driverKey, controller.faults.driverKeyName, std::nullopt, out,
                        outSize, bytesReturned);
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

BOOL ModelPlatform::AnswerHub(const model::Hub& hub, DWORD code, const void* in, DWORD inSize,
                              void* out, DWORD outSize, DWORD* bytesReturned) {
  switch (code) {
    case IOCTL_USB_GET_NODE_INFORMATION:
      ++counts_.nodeInformationQueries;
      return AnswerNodeInformation(hub, inSize, out, outSize, bytesReturned);
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      ++counts_.connectionInformationQueries;
      break;
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
      ++counts_.connectionNameQueries;
      break;
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      ++counts_.connectionDriverKeyQueries;
      break;
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }

  // The connection queries name their port in the input's first four bytes (ConnectionIndex).
  if (inSize < sizeof(std::uint32_t)) return Fail(ERROR_INVALID_PARAMETER);
  std::uint32_t connectionIndex = 0;
  std::memcpy(&connectionIndex, in, sizeof connectionIndex);
  if (connectionIndex == 0 || connectionIndex > hub.descriptor.bNumberOfPorts)
    return Fail(ERROR_INVALID_PARAMETER);
  const model::Port* port = model::PortNumbered(hub, connectionIndex);
  const model::Device* device = port != nullptr ? port->device.get() : nullptr;

  switch (code) {
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      return AnswerConnectionInformation(port, connectionIndex, out, outSize, bytesReturned);
    case IOCTL_USB_GET_NODE_CONNECTION_NAME: {
      // A port without a hub answers with an empty name, as the hub driver does.
      const std::string name = device != nullptr && device->hub ? device->hub->name : "";
      return AnswerName(name, port != nullptr ? port->faults.hubName : NameFault::None,
                        connectionIndex, out, outSize, bytesReturned);
    }
    default: {
      const std::string key =
          device != nullptr && device->driverKey ? *device->driverKey : std::string();
      return AnswerName(key, port != nullptr ? port->faults.driverKeyName : NameFault::None,
                        connectionIndex, out, outSize, bytesReturned);
    }
  }
}

BOOL ModelPlatform::AnswerNodeInformation(const model::Hub& hub, DWORD inSize, void* out,
                                          DWORD outSize, DWORD* bytesReturned) {
  if (hub.faults.nodeInfoFails) return Fail(ERROR_GEN_FAILURE);
  // The input is the record itself (its NodeType says what is asked), as is the output.
  if (inSize < sizeof(USB_NODE_INFORMATION)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (outSize < sizeof(USB_NODE_INFORMATION)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  USB_NODE_INFORMATION record;
  std::memset(&record, 0, sizeof record);
  record.NodeType = 0;  // UsbHub
  record.HubInformation.HubDescriptor = model::ToRecord(hub.descriptor);
  record.HubInformation.HubIsBusPowered = hub.busPowered ? 1 : 0;
  std::memcpy(out, &record, sizeof record);
  if (bytesReturned != nullptr) *bytesReturned = sizeof record;
  return TRUE;
}

BOOL ModelPlatform::AnswerConnectionInformation(const model::Port* port,
                                                std::uint32_t connectionIndex, void* out,
                                                DWORD outSize, DWORD* bytesReturned) {
  if (port != nullptr && port->faults.connectionInfoFails) return Fail(ERROR_GEN_FAILURE);
  // The driver needs room for the record's head; pipe entries are filled as far as they fit.
  constexpr DWORD kHeadSize = offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList);
  if (outSize < kHeadSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
  USB_NODE_CONNECTION_INFORMATION record;
  std::memset(&record, 0, sizeof record);
  record.ConnectionIndex = connectionIndex;
  if (port != nullptr) {
    record.ConnectionStatus = port->EffectiveConnectionStatus();
    if (const model::Device* device = port->device.get()) {
      record.DeviceDescriptor = model::ToRecord(device->descriptor);
      record.CurrentConfigurationValue = device->currentConfigurationValue;
      record.LowSpeed = device->lowSpeed ? 1 : 0;
      record.DeviceIsHub = device->hub ? 1 : 0;
      record.DeviceAddress = device->deviceAddress;
    }
  }
  const DWORD written = std::min<DWORD>(outSize, sizeof record);
  std::memcpy(out, &record, written);
  if (bytesReturned != nullptr) *bytesReturned = written;
  return TRUE;
}

BOOL ModelPlatform::AnswerName(const std::string& utf8Text, NameFault fault,
                               std::optional<std::uint32_t> connectionIndex, void* out,
                               DWORD outSize, DWORD* bytesReturned) {
  const std::uint32_t header = NameHeaderSize(connectionIndex.has_value());
  // The hub driver refuses a buffer smaller than the whole record: the header and one unit.
  const std::uint32_t record = NameProbeSize(connectionIndex.has_value());
  if (outSize < record) return Fail(ERROR_INSUFFICIENT_BUFFER);

  const std::u16string text = Utf8ToUtf16(utf8Text);
  const auto units = static_cast<std::uint32_t>(text.size());
  std::u16string content = text + u'\0';
  std::uint32_t actualLength = header + 2 * (units + 1);
  switch (fault) {
    case NameFault::AbsurdLength:
      actualLength = kAbsurdLength;
      break;
    case NameFault::BareHeader:
      content = std::u16string(1, u'\0');
      actualLength = header + 2;
      break;
    case NameFault::ShortLength:
      actualLength = header;
      break;
    case NameFault::OddLength:
      actualLength = header + 2 * units + 1;
      break;
    case NameFault::NoTerminator:
      content = text;
      actualLength = header + 2 * units;
      break;
    case NameFault::ProbeFails:
      if (outSize < actualLength) return Fail(ERROR_GEN_FAILURE);
      break;
    case NameFault::FetchFails:
      if (outSize >= actualLength) return Fail(ERROR_GEN_FAILURE);
      break;
    case NameFault::ConversionFails:
      unconvertible_.insert(text);
      break;
    case NameFault::None:
      break;
  }

  std::vector<unsigned char> reply;
  reply.reserve(header + 2 * content.size());
  if (connectionIndex) PutLe32(reply, *connectionIndex);
  PutLe32(reply, actualLength);
  for (char16_t unit : content) PutLe16(reply, static_cast<std::uint16_t>(unit));
  // A buffer that holds the record but not the whole reply gets the record alone, its first unit
  // 0, and success: ActualLength tells the caller what to ask for. No partial name.
  // (A reply that announces less than it carries gets the whole units that fit.)
  std::size_t written = record;
  if (outSize < actualLength && reply.size() >= record) {
    reply[header] = reply[header + 1] = 0;
  } else {
    written = std::min<std::size_t>(outSize, reply.size());
    written = header + (written - header) / 2 * 2;
  }
  std::memcpy(out, reply.data(), written);
  if (bytesReturned != nullptr) *bytesReturned = static_cast<DWORD>(written);
  return TRUE;
}

int ModelPlatform::WideCharToMultiByte(UINT codePage, DWORD /*flags*/, const WCHAR* text,
                                       int length, char* out, int outSize,
                                       const char* /*defaultChar*/, BOOL* usedDefaultChar) {
  ++counts_.conversions;
  if (text == nullptr || length == 0 || length < -1 || outSize < 0 ||
      (out == nullptr && outSize != 0)) {
    Fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const unsigned target = codePage == CP_ACP ? model_.ansiCodePage : codePage;
  if (!IsSupportedCodePage(target)) {
    Fail(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::size_t count = 0;
  if (length == -1) {
    while (text[count] != 0) ++count;
    ++count;  // the 0 unit is converted too
  } else {
    count = static_cast<std::size_t>(length);
  }
  std::u16string units(count, u'\0');
  for (std::size_t i = 0; i < count; ++i) units[i] = static_cast<char16_t>(text[i]);

  if (unconvertible_.count(units.substr(0, units.find(u'\0'))) != 0) {
    Fail(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  bool replaced = false;
  const std::string bytes = Utf16ToCodePageBestFit(units, target, &replaced);
  if (usedDefaultChar != nullptr) *usedDefaultChar = replaced ? TRUE : FALSE;
  if (outSize == 0) return static_cast<int>(bytes.size());
  if (bytes.size() > static_cast<std::size_t>(outSize)) {
    Fail(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(out, bytes.data(), bytes.size());
  return static_cast<int>(bytes.size());
}

std::vector<ModelPlatform::DatabaseEntry> ModelPlatform::DatabaseEntries() const {
  std::vector<DatabaseEntry> entries;
  for (const model::Controller& controller : model_.controllers) {
    DatabaseEntry& entry = entries.emplace_back();
    // A controller without a driver key has no driver property.
    if (!controller.driverKey.empty()) entry.driverKey = controller.driverKey;
    entry.friendlyName = controller.friendlyName;
    entry.faults = controller.databaseFaults;
  }
  auto visit = [&](const model::Device& device) {
    entries.push_back({device.driverKey, device.friendlyName, device.databaseFaults,
                       device.windowsState, HardwareIdsOf(device.descriptor)});
  };
  for (const model::Controller& controller : model_.controllers)
    if (controller.rootHub) ForEachDevice(*controller.rootHub, visit);
  for (const model::OtherDevice& other : model_.otherDevices)
    entries.push_back({other.driverKey, other.friendlyName, other.databaseFaults, {}, {}});
  return entries;
}

HDEVINFO ModelPlatform::SetupDiGetClassDevsA(const GUID* classGuid,
                                             const char* /*enumerator*/, HWND /*parent*/,
                                             DWORD flags) {
  const bool interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
  ++(interfaces ? counts_.interfaceSetEnumerations : counts_.deviceSetEnumerations);
  if (model_.deviceSetFails) {
    Fail(ERROR_GEN_FAILURE);
    return INVALID_HANDLE_VALUE;
  }
  const std::uintptr_t value = NewHandleValue();
  if (!interfaces) {
    deviceSets_.emplace(value, DatabaseEntries());
  } else {
    // Only host controllers register the one interface class the model knows.
    const bool controllers = classGuid != nullptr &&
        std::memcmp(classGuid, &kUsbHostControllerInterface, sizeof(GUID)) == 0;
    interfaceSets_.emplace(value, controllers ? model_.controllers.size() : 0);
  }
  return AsHandle(value);
}

BOOL ModelPlatform::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* /*deviceElement*/,
                                                const GUID* interfaceClass, DWORD index,
                                                SP_DEVICE_INTERFACE_DATA* interfaceData) {
  const auto found = interfaceSets_.find(HandleValue(set));
  if (found == interfaceSets_.end()) return Fail(ERROR_INVALID_HANDLE);
  if (interfaceClass == nullptr || interfaceData == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (std::memcmp(interfaceClass, &kUsbHostControllerInterface, sizeof(GUID)) != 0 ||
      index >= found->second)
    return Fail(ERROR_NO_MORE_ITEMS);
  interfaceData->InterfaceClassGuid = *interfaceClass;
  interfaceData->Flags = 1;  // SPINT_ACTIVE
  interfaceData->Reserved = index;
  return TRUE;
}

BOOL ModelPlatform::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                     SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                     SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                     DWORD detailSize, DWORD* requiredSize,
                                                     SP_DEVINFO_DATA* deviceElement) {
  const auto found = interfaceSets_.find(HandleValue(set));
  if (found == interfaceSets_.end()) return Fail(ERROR_INVALID_HANDLE);
  if (interfaceData == nullptr || interfaceData->Reserved >= found->second)
    return Fail(ERROR_INVALID_PARAMETER);
  if ((detail == nullptr) != (detailSize == 0)) return Fail(ERROR_INVALID_USER_BUFFER);
  const std::string path = model::HostControllerInterfacePath(interfaceData->Reserved);
  const auto needed =
      static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
  if (requiredSize != nullptr) *requiredSize = needed;
  if (detail == nullptr) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
    return Fail(ERROR_INVALID_USER_BUFFER);
  if (detailSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (deviceElement != nullptr) {
    if (deviceElement->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    std::memset(&deviceElement->ClassGuid, 0, sizeof deviceElement->ClassGuid);
    // In an interface set, an entry's DevInst is its controller's index.
    deviceElement->DevInst = static_cast<DWORD>(interfaceData->Reserved);
    deviceElement->Reserved = 0;
  }
  std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
  return TRUE;
}

BOOL ModelPlatform::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* element) {
  ++counts_.enumDeviceInfoCalls;
  const auto found = deviceSets_.find(HandleValue(set));
  if (found == deviceSets_.end()) return Fail(ERROR_INVALID_HANDLE);
  if (element == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (element->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (index >= found->second.size()) return Fail(ERROR_NO_MORE_ITEMS);
  std::memset(&element->ClassGuid, 0, sizeof element->ClassGuid);
  element->DevInst = index;
  element->Reserved = 0;
  return TRUE;
}

BOOL ModelPlatform::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element,
                                                      DWORD property, DWORD* regDataType,
                                                      BYTE* buffer, DWORD bufferSize,
                                                      DWORD* requiredSize) {
  ++counts_.propertyReads;
  if (const auto interfaces = interfaceSets_.find(HandleValue(set)); interfaces != interfaceSets_.end())
    return ControllerEntryProperty(interfaces->second, element, property, buffer, bufferSize,
                                   requiredSize);
  const auto found = deviceSets_.find(HandleValue(set));
  if (found == deviceSets_.end()) return Fail(ERROR_INVALID_HANDLE);
  if (element == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (element->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (element->DevInst >= found->second.size()) return Fail(ERROR_INVALID_PARAMETER);
  if (buffer == nullptr && bufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  const DatabaseEntry& entry = found->second[element->DevInst];

  const std::optional<model::WindowsState>& state = entry.windowsState;
  const std::optional<std::string>* value = nullptr;
  std::string bytes;
  DWORD type = kRegSz;
  if (property == SPDRP_DRIVER) {
    if (entry.faults.driverKeyReadFails) return Fail(ERROR_INVALID_DATA);
    value = &entry.driverKey;
  } else if (property == SPDRP_FRIENDLYNAME) {
    value = &entry.friendlyName;
  } else if (property == SPDRP_SERVICE && state) {
    value = &state->service;
  } else if (property == SPDRP_CONFIGFLAGS && state && state->configFlags) {
    bytes.resize(sizeof(std::uint32_t));
    std::memcpy(bytes.data(), &*state->configFlags, bytes.size());
    type = kRegDword;
  } else if (property == SPDRP_HARDWAREID && !entry.hardwareIds.empty()) {
    bytes = entry.hardwareIds;
    type = kRegMultiSz;
  }
  if (value != nullptr && value->has_value())
    bytes = Utf8ToAnsiBestFit(**value, model_.ansiCodePage) + '\0';
  else if (bytes.empty())
    return Fail(ERROR_INVALID_DATA);

  const auto needed = static_cast<DWORD>(bytes.size());
  if (requiredSize != nullptr) *requiredSize = needed;
  if (bufferSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  // The read fails only once the caller has come back with a buffer of the announced size.
  if (property == SPDRP_FRIENDLYNAME && entry.faults.friendlyNameReadFails)
    return Fail(ERROR_INVALID_DATA);
  if (regDataType != nullptr) *regDataType = type;
  std::memcpy(buffer, bytes.data(), needed);
  return TRUE;
}

BOOL ModelPlatform::ControllerEntryProperty(std::size_t entries, SP_DEVINFO_DATA* element,
                                            DWORD property, BYTE* buffer, DWORD bufferSize,
                                            DWORD* requiredSize) {
  if (element == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (element->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
  if (element->DevInst >= entries) return Fail(ERROR_INVALID_PARAMETER);
  if (buffer == nullptr && bufferSize != 0) return Fail(ERROR_INVALID_USER_BUFFER);
  // The entry's driver key is the controller's own, as its database entry holds it.
  const model::Controller& controller = model_.controllers[element->DevInst];
  if (property != SPDRP_DRIVER || controller.databaseFaults.driverKeyReadFails)
    return Fail(ERROR_INVALID_DATA);
  const std::string bytes = Utf8ToAnsiBestFit(controller.driverKey, model_.ansiCodePage) + '\0';
  const auto needed = static_cast<DWORD>(bytes.size());
  if (requiredSize != nullptr) *requiredSize = needed;
  if (bufferSize < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, bytes.data(), needed);
  return TRUE;
}

CONFIGRET ModelPlatform::CM_Get_DevNode_Status(ULONG* status, ULONG* problemNumber,
                                               DEVINST devInst, ULONG /*flags*/) {
  ++counts_.devNodeStatusCalls;
  if (status == nullptr || problemNumber == nullptr) return kCrInvalidPointer;
  // A device node is the database entry of the same number: the model's DevInst is its index,
  // the same in every set while the model stays as it is.
  std::vector<DatabaseEntry> fresh;
  if (deviceSets_.empty()) fresh = DatabaseEntries();
  const std::vector<DatabaseEntry>& entries =
      deviceSets_.empty() ? fresh : deviceSets_.rbegin()->second;
  if (devInst >= entries.size()) return CR_NO_SUCH_DEVNODE;
  const std::optional<model::WindowsState>& state = entries[devInst].windowsState;
  if (!state || !state->devNodeStatus) return CR_NO_SUCH_DEVNODE;
  *status = *state->devNodeStatus;
  *problemNumber = state->problemCode;
  return CR_SUCCESS;
}

BOOL ModelPlatform::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (deviceSets_.erase(HandleValue(set)) == 0 && interfaceSets_.erase(HandleValue(set)) == 0)
    return Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

BOOL ModelPlatform::GetComputerNameA(char* buffer, DWORD* size) {
  if (size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (!model_.computerName) return Fail(ERROR_FILE_NOT_FOUND);
  const std::string name = Utf8ToAnsiBestFit(*model_.computerName, model_.ansiCodePage);
  const auto needed = static_cast<DWORD>(name.size() + 1);
  if (buffer == nullptr || *size < needed) {
    *size = needed;
    return Fail(kErrorBufferOverflow);
  }
  std::memcpy(buffer, name.c_str(), needed);
  *size = needed - 1;
  return TRUE;
}

int ModelPlatform::GetSystemMetrics(int index) {
  return index == SM_REMOTESESSION && model_.environment.remoteSession.value_or(false) ? 1 : 0;
}

LONG ModelPlatform::RegGetValueA(HKEY key, const char* subKey, const char* value, DWORD flags,
                                 DWORD* type, void* data, DWORD* size) {
  if (subKey == nullptr || value == nullptr || size == nullptr || (flags & RRF_RT_REG_SZ) == 0)
    return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  const model::Environment& facts = model_.environment;
  const std::optional<std::string>* text = nullptr;
  if (key == HKEY_LOCAL_MACHINE && std::string_view(subKey) == kBiosKey) {
    if (std::string_view(value) == kSystemManufacturerValue)
      text = &facts.systemManufacturer;
    else if (std::string_view(value) == kSystemProductNameValue)
      text = &facts.systemProductName;
  }
  if (text == nullptr || !*text) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  const std::string ansi = Utf8ToAnsiBestFit(**text, model_.ansiCodePage);
  const auto needed = static_cast<DWORD>(ansi.size() + 1);
  if (data == nullptr || *size < needed) {
    *size = needed;
    return static_cast<LONG>(data == nullptr ? ERROR_SUCCESS : ERROR_MORE_DATA);
  }
  std::memcpy(data, ansi.c_str(), needed);
  *size = needed;
  if (type != nullptr) *type = REG_SZ;
  return static_cast<LONG>(ERROR_SUCCESS);
}

}  // namespace keldar
