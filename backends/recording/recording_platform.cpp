#include "backends/recording/recording_platform.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "text/text_codec.h"
#include "platform/hardware_id.h"
#include "platform/name_reply.h"
#include "platform/records.h"

namespace keldar {

namespace {

constexpr DWORD kConnectionInfoHead = offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList);


}  // namespace

RecordingPlatform::RecordingPlatform(Platform& inner, unsigned ansiCodePage)
    : inner_(inner), ansiCodePage_(ansiCodePage) {}

// ---- Forwarding, and what each reply tells ----

HANDLE RecordingPlatform::CreateFileA(const char* path, DWORD desiredAccess, DWORD shareMode,
                                      void* securityAttributes, DWORD creationDisposition,
                                      DWORD flagsAndAttributes, HANDLE templateFile) {
  const HANDLE handle = inner_.CreateFileA(path, desiredAccess, shareMode, securityAttributes,
                                           creationDisposition, flagsAndAttributes, templateFile);
  if (path == nullptr) return handle;
  const std::string_view full(path);
  const bool opened = handle != INVALID_HANDLE_VALUE && handle != nullptr;
  // A device-interface path ("\\\\?\\pci#..."): only host controllers are opened that way.
  if (full.substr(0, kDevicePathPrefix.size()) != kDevicePathPrefix) {
    if (!opened) return handle;
    const auto [where, added] = interfaceControllers_.try_emplace(std::string(full));
    if (added) interfaceOrder_.push_back(where->first);
    handles_[HandleValue(handle)] = OpenObject{&where->second, {}};
    return handle;
  }
  const std::string_view name = full.substr(kDevicePathPrefix.size());

  OpenObject object;
  if (const auto number = model::ControllerNumber(name)) {
    // A number that does not open is a gap, not a controller.
    if (!opened) return handle;
    object.controller = &controllers_[*number];
  } else {
    HubRecord& hub = hubs_[std::string(name)];
    if (!opened) {
      hub.openFailed = true;
      return handle;
    }
    hub.opened = true;
    object.hub = std::string(name);
  }
  handles_[HandleValue(handle)] = std::move(object);
  return handle;
}

BOOL RecordingPlatform::CloseHandle(HANDLE object) {
  // The system hands the value out again once it is closed.
  handles_.erase(HandleValue(object));
  return inner_.CloseHandle(object);
}

BOOL RecordingPlatform::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                        DWORD inBufferSize, void* outBuffer,
                                        DWORD outBufferSize, DWORD* bytesReturned,
                                        void* overlapped) {
  // The input and the output are often the same buffer: the port number is read before the
  // reply overwrites it.
  std::optional<std::uint32_t> connectionIndex;
  if (inBuffer != nullptr && inBufferSize >= sizeof(std::uint32_t)) {
    std::uint32_t index = 0;
    std::memcpy(&index, inBuffer, sizeof index);
    connectionIndex = index;
  }
  const BOOL succeeded = inner_.DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize,
                                                outBuffer, outBufferSize, bytesReturned,
                                                overlapped);
  const auto found = handles_.find(HandleValue(device));
  if (found == handles_.end()) return succeeded;
  const DWORD replySize = outBuffer != nullptr ? outBufferSize : 0;
  // A request that pended is recorded when it ends; reading the error changes nothing.
  if (!succeeded && overlapped != nullptr && inner_.GetLastError() == ERROR_IO_PENDING) {
    pending_[static_cast<const OVERLAPPED*>(overlapped)] =
        PendingRequest{HandleValue(device), ioControlCode, connectionIndex, outBuffer, replySize};
    return succeeded;
  }
  RecordReply(found->second, ioControlCode, connectionIndex, succeeded, outBuffer, replySize);
  return succeeded;
}

void RecordingPlatform::RecordReply(const OpenObject& object, DWORD code,
                                    std::optional<std::uint32_t> connectionIndex,
                                    BOOL succeeded, const void* out, DWORD outSize) {
  if (object.controller != nullptr) {
    if (succeeded) RecordController(*object.controller, code, out, outSize);
  } else {
    RecordHub(object.hub, code, connectionIndex, succeeded, out, outSize);
  }
}

HANDLE RecordingPlatform::CreateEventA(void* securityAttributes, BOOL manualReset,
                                       BOOL initialState, const char* name) {
  return inner_.CreateEventA(securityAttributes, manualReset, initialState, name);
}

DWORD RecordingPlatform::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return inner_.WaitForSingleObject(object, milliseconds);
}

BOOL RecordingPlatform::CancelIoEx(HANDLE device, OVERLAPPED* overlapped) {
  return inner_.CancelIoEx(device, overlapped);
}

BOOL RecordingPlatform::GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped,
                                            DWORD* bytesReturned, BOOL wait) {
  const BOOL succeeded = inner_.GetOverlappedResult(device, overlapped, bytesReturned, wait);
  const auto request = pending_.find(overlapped);
  if (request == pending_.end()) return succeeded;
  const PendingRequest asked = request->second;
  const DWORD error = succeeded ? ERROR_SUCCESS : inner_.GetLastError();
  pending_.erase(request);
  const auto found = handles_.find(asked.device);
  if (found == handles_.end()) return succeeded;
  // Unanswered until cancelled, or still unanswered: the hub never answers. A controller's
  // request that went unanswered reads as one that failed.
  if (!succeeded && (error == ERROR_OPERATION_ABORTED || error == ERROR_IO_INCOMPLETE)) {
    if (found->second.controller == nullptr) hubs_[found->second.hub].unanswered = true;
    return succeeded;
  }
  RecordReply(found->second, asked.code, asked.connectionIndex, succeeded, asked.out,
              asked.outSize);
  return succeeded;
}

std::optional<RecordingPlatform::Name> RecordingPlatform::NameFromReply(
    const void* reply, DWORD replySize, std::uint32_t header) const {
  if (replySize < header) return std::nullopt;
  const std::uint32_t actualLength = ReplyActualLength(reply, header);
  // Only a complete reply is a name: a probe announces more than its buffer holds, and a
  // malformed reply is not recorded at all.
  if (!IsSoundNameLength(actualLength, header) || actualLength > replySize) return std::nullopt;
  const std::u16string text = ReplyText(reply, actualLength, header);
  return Name{Utf16ToUtf8(text), Utf16ToCodePage(text, ansiCodePage_)};
}

void RecordingPlatform::RecordController(ControllerRecord& controller, DWORD code,
                                         const void* reply, DWORD replySize) {
  switch (code) {
    case IOCTL_USB_GET_ROOT_HUB_NAME:
      if (auto name = NameFromReply(reply, replySize, kControllerNameHeaderSize))
        controller.rootHubName = std::move(name);
      break;
    case IOCTL_GET_HCD_DRIVERKEY_NAME:
      if (auto name = NameFromReply(reply, replySize, kControllerNameHeaderSize))
        controller.driverKey = std::move(name);
      break;
    default:
      break;
  }
}

void RecordingPlatform::RecordHub(const std::string& name, DWORD code,
                                  std::optional<std::uint32_t> connectionIndex, BOOL succeeded,
                                  const void* reply, DWORD replySize) {
  HubRecord& hub = hubs_[name];
  if (code == IOCTL_USB_GET_NODE_INFORMATION) {
    if (!succeeded) {
      hub.nodeInfoFailed = true;
    } else if (replySize >= sizeof(USB_NODE_INFORMATION)) {
      USB_NODE_INFORMATION record;
      std::memcpy(&record, reply, sizeof record);
      hub.nodeInfo = record;
    }
    return;
  }
  if (!connectionIndex) return;
  PortRecord& port = hub.ports[*connectionIndex];
  switch (code) {
    case IOCTL_USB_GET_NODE_CONNECTION_INFORMATION:
      if (!succeeded) {
        port.connectionInfoFailed = true;
      } else if (replySize >= kConnectionInfoHead) {
        USB_NODE_CONNECTION_INFORMATION record{};
        std::memcpy(&record, reply, kConnectionInfoHead);
        port.connectionInfo = record;
      }
      break;
    case IOCTL_USB_GET_NODE_CONNECTION_NAME:
      if (!succeeded) break;
      if (auto hubName = NameFromReply(reply, replySize, kConnectionNameHeaderSize))
        port.hubName = std::move(hubName);
      break;
    case IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME:
      if (!succeeded) break;
      if (auto key = NameFromReply(reply, replySize, kConnectionNameHeaderSize)) {
        // The hub driver's way of saying that the device has no driver key.
        if (key->utf8.empty())
          port.driverKey.emplace(std::nullopt);
        else
          port.driverKey.emplace(std::move(key));
      }
      break;
    default:
      break;
  }
}

int RecordingPlatform::WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* text,
                                           int length, char* out, int outSize,
                                           const char* defaultChar, BOOL* usedDefaultChar) {
  return inner_.WideCharToMultiByte(codePage, flags, text, length, out, outSize, defaultChar,
                                    usedDefaultChar);
}

HDEVINFO RecordingPlatform::SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                                 HWND parent, DWORD flags) {
  const HDEVINFO set = inner_.SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
  // The model has one switch for the database: the set of present devices decides it.
  if (set == INVALID_HANDLE_VALUE && (flags & DIGCF_DEVICEINTERFACE) == 0) deviceSetFailed_ = true;
  return set;
}

BOOL RecordingPlatform::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceElement,
                                                    const GUID* interfaceClass, DWORD index,
                                                    SP_DEVICE_INTERFACE_DATA* interfaceData) {
  return inner_.SetupDiEnumDeviceInterfaces(set, deviceElement, interfaceClass, index,
                                            interfaceData);
}

BOOL RecordingPlatform::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                         SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                         SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                         DWORD detailSize, DWORD* requiredSize,
                                                         SP_DEVINFO_DATA* deviceElement) {
  return inner_.SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize,
                                                 requiredSize, deviceElement);
}

BOOL RecordingPlatform::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index,
                                              SP_DEVINFO_DATA* element) {
  const BOOL succeeded = inner_.SetupDiEnumDeviceInfo(set, index, element);
  if (succeeded && element != nullptr) {
    elementIndex_[element] = index;
    devInstIndex_[{HandleValue(set), element->DevInst}] = index;
  }
  // Asking the inner platform's last error is harmless: the caller will ask the same.
  if (!succeeded && inner_.GetLastError() == ERROR_NO_MORE_ITEMS) databaseWalkedToEnd_ = true;
  return succeeded;
}

BOOL RecordingPlatform::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set,
                                                          SP_DEVINFO_DATA* element,
                                                          DWORD property, DWORD* regDataType,
                                                          BYTE* buffer, DWORD bufferSize,
                                                          DWORD* requiredSize) {
  const BOOL succeeded = inner_.SetupDiGetDeviceRegistryPropertyA(
      set, element, property, regDataType, buffer, bufferSize, requiredSize);
  RecordProperty(set, element, property, succeeded, buffer, bufferSize, requiredSize);
  return succeeded;
}

RecordingPlatform::ElementRecord* RecordingPlatform::FindElement(HDEVINFO set,
                                                                 const SP_DEVINFO_DATA* element) {
  if (element == nullptr) return nullptr;
  // By its device node first: a copy of the element, read after the walk, is the same device.
  const auto byDevInst = devInstIndex_.find({HandleValue(set), element->DevInst});
  if (byDevInst != devInstIndex_.end()) return &elements_[{HandleValue(set), byDevInst->second}];
  const auto index = elementIndex_.find(element);
  if (index == elementIndex_.end()) return nullptr;
  return &elements_[{HandleValue(set), index->second}];
}

void RecordingPlatform::KeepState(const ElementRecord& record) {
  if (!record.state) return;
  if (record.driverKey)
    states_[*record.driverKey] = *record.state;
  else if (record.usbIds)
    keylessStates_[*record.usbIds] = *record.state;
}

void RecordingPlatform::RecordProperty(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property,
                                       BOOL succeeded, const BYTE* buffer, DWORD bufferSize,
                                       const DWORD* requiredSize) {
  ElementRecord* found = FindElement(set, element);
  if (found == nullptr) return;
  ElementRecord& record = *found;
  // A text property ends at its terminator, or at the end of the buffer when it has none.
  const auto text = [&] {
    const char* chars = reinterpret_cast<const char*>(buffer);
    return std::string(chars, std::find(chars, chars + bufferSize, '\0'));
  };
  // Asking the inner platform's last error is harmless: the caller will ask the same.
  const auto lacking = [&] {
    return !succeeded && inner_.GetLastError() != ERROR_INSUFFICIENT_BUFFER;
  };

  if (property == SPDRP_HARDWAREID) {
    if (succeeded && buffer != nullptr)
      record.usbIds = UsbIdsOfHardwareIds(reinterpret_cast<const char*>(buffer), bufferSize);
    return;
  }
  if (property == SPDRP_SERVICE) {
    // A probe that was too small says nothing yet.
    if (!(succeeded && buffer != nullptr) && !lacking()) return;
    record.state.emplace().service.reset();
    if (succeeded && buffer != nullptr) record.state->service = AnsiToUtf8(text(), ansiCodePage_);
    KeepState(record);
    return;
  }
  if (property == SPDRP_CONFIGFLAGS) {
    if (!record.state) record.state.emplace();
    record.state->configFlags.reset();
    if (succeeded && buffer != nullptr && bufferSize >= sizeof(std::uint32_t)) {
      std::uint32_t flags = 0;
      std::memcpy(&flags, buffer, sizeof flags);
      record.state->configFlags = flags;
    }
    KeepState(record);
    return;
  }

  if (property == SPDRP_DRIVER) {
    record.driverKey.reset();
    record.friendlyNameRequiredSize = 0;
    if (succeeded && buffer != nullptr) record.driverKey = text();
    return;
  }
  if (property != SPDRP_FRIENDLYNAME || !record.driverKey) return;
  // Asking the inner platform's last error is harmless: the caller will ask the same.
  const DWORD error = succeeded ? ERROR_SUCCESS : inner_.GetLastError();
  if (!succeeded && error == ERROR_INSUFFICIENT_BUFFER) {
    record.friendlyNameRequiredSize = requiredSize != nullptr ? *requiredSize : 0;
    return;
  }
  // The first device that carries a driver key is the one every lookup of that key finds.
  if (database_.count(*record.driverKey) != 0) return;
  DatabaseRecord& entry = database_[*record.driverKey];
  if (succeeded && buffer != nullptr) {
    entry.friendlyName = AnsiToUtf8(text(), ansiCodePage_);
  } else if (record.friendlyNameRequiredSize > 1 &&
             record.friendlyNameRequiredSize <= kMaxNameReplySize) {
    // The name was there (its size is known) but could not be read.
    entry.friendlyNameReadFails = true;
    entry.friendlyName = std::string(record.friendlyNameRequiredSize - 1, '?');
  }
}

CONFIGRET RecordingPlatform::CM_Get_DevNode_Status(ULONG* status, ULONG* problemNumber,
                                                   DEVINST devInst, ULONG flags) {
  const CONFIGRET result = inner_.CM_Get_DevNode_Status(status, problemNumber, devInst, flags);
  // The device node of an element of an open set (any one of them when several sets hold it:
  // a detection keeps one open).
  ElementRecord* record = nullptr;
  for (const auto& [where, index] : devInstIndex_)
    if (where.second == devInst) record = &elements_[{where.first, index}];
  if (record == nullptr) return result;
  if (!record->state) record->state.emplace();
  record->state->devNodeStatus.reset();
  record->state->problemCode = 0;
  if (result == CR_SUCCESS && status != nullptr && problemNumber != nullptr) {
    record->state->devNodeStatus = static_cast<std::uint32_t>(*status);
    record->state->problemCode = static_cast<std::uint32_t>(*problemNumber);
  }
  KeepState(*record);
  return result;
}

BOOL RecordingPlatform::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  const std::uintptr_t value = HandleValue(set);
  for (auto it = elements_.begin(); it != elements_.end();)
    it = it->first.first == value ? elements_.erase(it) : std::next(it);
  for (auto it = devInstIndex_.begin(); it != devInstIndex_.end();)
    it = it->first.first == value ? devInstIndex_.erase(it) : std::next(it);
  return inner_.SetupDiDestroyDeviceInfoList(set);
}

DWORD RecordingPlatform::GetLastError() { return inner_.GetLastError(); }

BOOL RecordingPlatform::GetComputerNameA(char* buffer, DWORD* size) {
  const BOOL succeeded = inner_.GetComputerNameA(buffer, size);
  if (succeeded && buffer != nullptr && size != nullptr)
    computerName_ = AnsiToUtf8(std::string_view(buffer, *size), ansiCodePage_);
  return succeeded;
}

int RecordingPlatform::GetSystemMetrics(int index) {
  const int answer = inner_.GetSystemMetrics(index);
  if (index == SM_REMOTESESSION) environment_.remoteSession = answer != 0;
  return answer;
}

LONG RecordingPlatform::RegGetValueA(HKEY key, const char* subKey, const char* value,
                                     DWORD flags, DWORD* type, void* data, DWORD* size) {
  const DWORD given = size != nullptr ? *size : 0;
  const LONG result = inner_.RegGetValueA(key, subKey, value, flags, type, data, size);
  if (result != static_cast<LONG>(ERROR_SUCCESS) || key != HKEY_LOCAL_MACHINE ||
      subKey == nullptr || value == nullptr || data == nullptr || size == nullptr ||
      std::string_view(subKey) != kBiosKey)
    return result;
  // Only a text within the caller's buffer and terminated there counts.
  const auto* bytes = static_cast<const char*>(data);
  const std::size_t length = std::min<DWORD>(*size, given);
  const std::size_t end = std::string_view(bytes, length).find('\0');
  if (end == std::string_view::npos) return result;
  const std::string text = AnsiToUtf8(std::string_view(bytes, end), ansiCodePage_);
  if (std::string_view(value) == kSystemManufacturerValue)
    environment_.systemManufacturer = text;
  else if (std::string_view(value) == kSystemProductNameValue)
    environment_.systemProductName = text;
  return result;
}

// ---- The model ----

void RecordingPlatform::ApplyDatabase(const std::optional<Name>& driverKey,
                                      std::optional<std::string>& friendlyName,
                                      model::DatabaseFaults& faults) const {
  if (!driverKey) return;
  const auto entry = database_.find(driverKey->ansi);
  if (entry == database_.end()) {
    // Every key the walk reported was looked up; one that a whole database did not yield is
    // carried by no entry that can be read.
    if (databaseWalkedToEnd_) faults.driverKeyReadFails = true;
    return;
  }
  friendlyName = entry->second.friendlyName;
  faults.friendlyNameReadFails = entry->second.friendlyNameReadFails;
}

std::unique_ptr<model::Hub> RecordingPlatform::BuildHub(const Name& name,
                                                        std::set<std::string>& path) const {
  auto hub = std::make_unique<model::Hub>();
  hub->name = name.utf8;
  const auto found = hubs_.find(name.ansi);
  // A hub that names one of its own ancestors would be walked for ever.
  if (found == hubs_.end() || !path.insert(name.ansi).second) return hub;
  const HubRecord& record = found->second;

  hub->faults.openFails = record.openFailed && !record.opened;
  hub->faults.nodeInfoFails = record.nodeInfoFailed && !record.nodeInfo;
  hub->faults.neverAnswers = record.unanswered;
  if (record.nodeInfo) {
    const USB_HUB_INFORMATION& information = record.nodeInfo->HubInformation;
    hub->descriptor = model::FromRecord(information.HubDescriptor);
    hub->busPowered = information.HubIsBusPowered != 0;
  }

  for (const auto& [number, portRecord] : record.ports) {
    model::Port port;
    port.port = static_cast<int>(number);
    if (!portRecord.connectionInfo) {
      if (!portRecord.connectionInfoFailed) continue;
      port.faults.connectionInfoFails = true;
      hub->ports.push_back(std::move(port));
      continue;
    }
    const USB_NODE_CONNECTION_INFORMATION& info = *portRecord.connectionInfo;
    // Nothing attached: an unlisted port says the same.
    const std::uint32_t status = info.ConnectionStatus;  // a packed field: copied, not bound
    if (status == 0) continue;
    if (status != 1) port.connectionStatus = status;

    auto device = std::make_unique<model::Device>();
    device->descriptor = model::FromRecord(info.DeviceDescriptor);
    device->lowSpeed = info.LowSpeed != 0;
    device->deviceAddress = info.DeviceAddress;
    device->currentConfigurationValue = info.CurrentConfigurationValue;
    if (portRecord.driverKey && *portRecord.driverKey)
      device->driverKey = (*portRecord.driverKey)->utf8;
    if (portRecord.driverKey)
      ApplyDatabase(*portRecord.driverKey, device->friendlyName, device->databaseFaults);
    if (device->driverKey) {
      if (const auto state = states_.find((*portRecord.driverKey)->ansi); state != states_.end())
        device->windowsState = state->second;
    } else if (const auto state = keylessStates_.find(
                   std::uint32_t{info.DeviceDescriptor.idVendor} << 16 |
                   info.DeviceDescriptor.idProduct);
               state != keylessStates_.end()) {
      device->windowsState = state->second;
    }
    if (info.DeviceIsHub != 0) {
      device->hub = BuildHub(portRecord.hubName.value_or(Name{}), path);
      // A hub whose name query failed has no name at all; an empty name replays as the empty
      // reply it was. A reply too short to hold a name replays as the walk saw it, whatever
      // the length of the name the hub would have had.
      if (!portRecord.hubName) port.faults.hubName = model::NameFault::ShortLength;
    }
    port.device = std::move(device);
    hub->ports.push_back(std::move(port));
  }
  path.erase(name.ansi);
  return hub;
}

model::UsbModel RecordingPlatform::RecordedModel() const {
  model::UsbModel model;
  model.computerName = computerName_;
  model.ansiCodePage = ansiCodePage_;
  model.deviceSetFails = deviceSetFailed_;
  model.environment = environment_;
  // The controllers in the order the walk showed them: HCD links by number, then those only
  // a device interface reached, told apart by their driver keys as the walk tells them.
  std::set<std::string> driverKeys;
  for (const auto& [number, record] : controllers_) {
    model::Controller& controller = model.controllers.emplace_back(BuildController(record));
    if (number != model.controllers.size() - 1) controller.hcdNumber = static_cast<int>(number);
    if (record.driverKey) driverKeys.insert(record.driverKey->ansi);
  }
  for (const std::string& path : interfaceOrder_) {
    const ControllerRecord& record = interfaceControllers_.at(path);
    if (!record.driverKey || !driverKeys.insert(record.driverKey->ansi).second) continue;
    model.controllers.push_back(BuildController(record));
    model.controllers.back().hcdNumber = model::kNoHcdLink;
  }
  return model;
}

model::Controller RecordingPlatform::BuildController(const ControllerRecord& record) const {
  model::Controller controller;
  if (record.driverKey) controller.driverKey = record.driverKey->utf8;
  ApplyDatabase(record.driverKey, controller.friendlyName, controller.databaseFaults);
  if (record.rootHubName) {
    std::set<std::string> path;
    controller.rootHub = BuildHub(*record.rootHubName, path);
  }
  return controller;
}

}  // namespace keldar
