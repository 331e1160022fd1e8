// A scripted Platform for unit tests. Every call is recorded with its arguments, in order, both
// as a typed entry (createFiles, ioctls, ...) and as one line of `log`. Answers come from plain
// per-test scripts (paths to handles, name replies, hub and connection records, a device
// database) that follow the hub driver's and SetupAPI's conventions; a test that needs a
// misbehaving platform hooks the call with a lambda.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/records.h"

namespace keldar::fake {

// Handles the tests hand out: distinct, never null, never INVALID_HANDLE_VALUE.
inline HANDLE Handle(unsigned n) { return reinterpret_cast<HANDLE>(std::uintptr_t{0x1000} + n); }

// "h3" for Handle(3); "null" and "invalid" for the two special values.
inline std::string HandleName(HANDLE h) {
  if (h == nullptr) return "null";
  if (h == INVALID_HANDLE_VALUE) return "invalid";
  return "h" + std::to_string(reinterpret_cast<std::uintptr_t>(h) - 0x1000);
}

// UTF-16 text in the platform's own unit type (char16_t here, wchar_t on Windows).
using WideString = std::basic_string<WCHAR>;
inline WideString Wide(std::u16string_view text) { return WideString(text.begin(), text.end()); }

inline std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

// ---- what the calls carried ----

struct CreateFileCall {
  std::string path;
  DWORD desiredAccess, shareMode;
  void* securityAttributes;
  DWORD creationDisposition, flagsAndAttributes;
  HANDLE templateFile;
};

struct IoctlCall {
  HANDLE device;
  DWORD code;
  bool hasInput;       // an input buffer was passed
  bool inputIsOutput;  // and it was the output buffer itself
  DWORD inSize, outSize;
  std::vector<std::uint8_t> input;  // the input bytes as they were sent
  bool bytesReturnedGiven, overlappedGiven;

  // The 32-bit little-endian value at `offset` of the input as sent.
  std::uint32_t InputWord(std::size_t offset) const {
    std::uint32_t value = 0;
    if (offset + 4 <= input.size()) std::memcpy(&value, input.data() + offset, 4);
    return value;
  }
};

struct WideCall {
  UINT codePage;
  DWORD flags;
  int length;
  WideString text;  // the units the call covered (up to and including the 0 unit for -1)
  bool hasOutput;
  int outSize;
  bool defaultCharGiven, usedDefaultCharGiven;
};

struct EnumCall {
  DWORD index, cbSize;
};

struct PropertyCall {
  DWORD device;  // the element's index in the device list
  DWORD property, bufferSize, requiredOnEntry;
  bool requiredGiven;
};

// ---- scripts ----

// One name reply of the hub driver. `text` is what follows the header, exactly as the driver
// writes it (normally the name and its 0 unit); ActualLength defaults to header + text.
struct NameReply {
  WideString text;
  std::optional<std::uint32_t> actualLength;
  bool probeFails = false;
  bool fetchFails = false;
  int calls = 0;  // even: the next call is a probe; odd: a fetch
};

// A properly terminated name.
inline NameReply Name(std::u16string_view name) {
  NameReply reply;
  reply.text = Wide(name);
  reply.text.push_back(0);
  return reply;
}

// Who answers a name query: the handle, the control code, and for the connection queries the
// port number the request carries (0 for the controller queries).
using NameKey = std::tuple<HANDLE, DWORD, std::uint32_t>;

inline USB_NODE_INFORMATION HubInformation(std::uint8_t ports) {
  USB_NODE_INFORMATION info{};
  info.HubInformation.HubDescriptor.bDescriptorLength = 9;
  info.HubInformation.HubDescriptor.bDescriptorType = 0x29;
  info.HubInformation.HubDescriptor.bNumberOfPorts = ports;
  return info;
}

inline USB_NODE_CONNECTION_INFORMATION Connection(std::uint16_t vendor, std::uint16_t product,
                                                  bool isHub = false) {
  USB_NODE_CONNECTION_INFORMATION info{};
  info.DeviceDescriptor.bLength = 18;
  info.DeviceDescriptor.bDescriptorType = 1;
  info.DeviceDescriptor.idVendor = vendor;
  info.DeviceDescriptor.idProduct = product;
  info.DeviceIsHub = isHub ? 1 : 0;
  info.ConnectionStatus = 1;
  return info;
}

// One present device of the device-installation database. A property that is absent fails
// with ERROR_INVALID_DATA, as SetupAPI answers for a device that lacks it.
struct DatabaseDevice {
  std::optional<std::string> driverKey;
  std::optional<std::string> friendlyName;
  bool terminated = true;  // properties are stored with their 0 byte
  // Answers a property read in place of the rules above when it returns a value; `round`
  // counts this device's reads of that property from 0.
  std::function<std::optional<BOOL>(DWORD property, int round, BYTE* buffer, DWORD size,
                                    DWORD* required, DWORD& lastError)>
      onRead;
  std::map<DWORD, int> rounds;
};

class FakePlatform : public Platform {
 public:
  // ---- scripts ----
  std::map<std::string, HANDLE> files;  // device path -> handle; others fail to open
  std::map<NameKey, NameReply> names;
  std::map<HANDLE, USB_NODE_INFORMATION> hubs;  // hubs answering the node information query
  std::map<std::pair<HANDLE, std::uint32_t>, USB_NODE_CONNECTION_INFORMATION> connections;
  // Runs before the scripts; a value is the call's answer.
  std::function<std::optional<BOOL>(const IoctlCall&, void* out, DWORD outSize)> onDeviceIoControl;

  // Units below 0x80 become one byte each; others come from this table, or the default '?'.
  std::map<WCHAR, std::string> ansi;
  std::function<bool(const WideCall&)> conversionFails;

  bool deviceSetFails = false;
  std::vector<DatabaseDevice> devices;
  std::optional<std::string> computerName;

  DWORD lastError = ERROR_SUCCESS;

  // ---- records ----
  std::vector<std::string> log;
  std::vector<CreateFileCall> createFiles;
  std::vector<IoctlCall> ioctls;
  std::vector<HANDLE> closed;
  std::vector<WideCall> conversions;
  std::vector<EnumCall> enums;
  std::vector<PropertyCall> propertyReads;
  int deviceSetsOpened = 0;
  int deviceSetsDestroyed = 0;

  static HDEVINFO DeviceSet() { return Handle(0x5E7); }

  // ---- Platform ----
  HANDLE CreateFileA(const char* path, DWORD desiredAccess, DWORD shareMode,
                     void* securityAttributes, DWORD creationDisposition,
                     DWORD flagsAndAttributes, HANDLE templateFile) override {
    createFiles.push_back({path, desiredAccess, shareMode, securityAttributes,
                           creationDisposition, flagsAndAttributes, templateFile});
    log.push_back(std::string("CreateFileA ") + path);
    auto found = files.find(path);
    if (found == files.end()) {
      lastError = ERROR_FILE_NOT_FOUND;
      return INVALID_HANDLE_VALUE;
    }
    return found->second;
  }

  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                       DWORD outSize, DWORD* bytesReturned, void* overlapped) override {
    IoctlCall call{device,  code, in != nullptr, in != nullptr && in == out, inSize, outSize,
                   {},      bytesReturned != nullptr, overlapped != nullptr};
    if (in != nullptr)
      call.input.assign(static_cast<const std::uint8_t*>(in),
                        static_cast<const std::uint8_t*>(in) + inSize);
    ioctls.push_back(call);
    log.push_back("DeviceIoControl " + HandleName(device) + " " + Hex(code));
    if (onDeviceIoControl)
      if (auto answer = onDeviceIoControl(call, out, outSize)) return *answer;

    const bool perConnection = code == IOCTL_USB_GET_NODE_CONNECTION_NAME ||
                               code == IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME;
    const std::uint32_t index = perConnection ? call.InputWord(0) : 0;
    auto name = names.find({device, code, index});
    if (name != names.end()) return AnswerName(name->second, perConnection, index, out, outSize);

    if (code == IOCTL_USB_GET_NODE_INFORMATION) {
      auto hub = hubs.find(device);
      if (hub == hubs.end() || outSize < sizeof(USB_NODE_INFORMATION)) return Fail();
      std::memcpy(out, &hub->second, sizeof(USB_NODE_INFORMATION));
      return TRUE;
    }
    if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) {
      auto port = connections.find({device, call.InputWord(0)});
      if (port == connections.end() || outSize < sizeof(USB_NODE_CONNECTION_INFORMATION))
        return Fail();
      USB_NODE_CONNECTION_INFORMATION reply = port->second;
      reply.ConnectionIndex = call.InputWord(0);
      std::memcpy(out, &reply, sizeof reply);
      return TRUE;
    }
    return Fail();
  }

  BOOL CloseHandle(HANDLE object) override {
    closed.push_back(object);
    log.push_back("CloseHandle " + HandleName(object));
    return TRUE;
  }

  int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* text, int length, char* out,
                          int outSize, const char* defaultChar, BOOL* usedDefaultChar) override {
    WideString units(text, length < 0 ? std::char_traits<WCHAR>::length(text) + 1
                                      : static_cast<std::size_t>(length));
    WideCall call{codePage,       flags, length, units, out != nullptr, outSize,
                  defaultChar != nullptr, usedDefaultChar != nullptr};
    conversions.push_back(call);
    log.push_back("WideCharToMultiByte " + std::to_string(length) + " " + std::to_string(outSize));
    if (length == 0 || (conversionFails && conversionFails(call))) {
      lastError = length == 0 ? ERROR_INVALID_PARAMETER : ERROR_NO_UNICODE_TRANSLATION;
      return 0;
    }
    std::string bytes;
    for (WCHAR unit : units) {
      auto found = ansi.find(unit);
      bytes += unit < 0x80 ? std::string(1, static_cast<char>(unit))
                           : found != ansi.end() ? found->second : "?";
    }
    const int required = static_cast<int>(bytes.size());
    if (outSize == 0) return required;
    if (outSize < required) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(out, bytes.data(), bytes.size());
    return required;
  }

  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                                DWORD flags) override {
    log.push_back("SetupDiGetClassDevsA " + Hex(flags) +
                  (classGuid || enumerator || parent ? " with filter" : ""));
    if (deviceSetFails) {
      lastError = ERROR_INVALID_PARAMETER;
      return INVALID_HANDLE_VALUE;
    }
    ++deviceSetsOpened;
    return DeviceSet();
  }

  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* element) override {
    enums.push_back({index, element->cbSize});
    log.push_back("SetupDiEnumDeviceInfo " + std::to_string(index));
    if (set != DeviceSet()) return Fail(ERROR_INVALID_HANDLE);
    if (element->cbSize != sizeof(SP_DEVINFO_DATA)) return Fail(ERROR_INVALID_USER_BUFFER);
    if (index >= devices.size()) return Fail(ERROR_NO_MORE_ITEMS);
    element->DevInst = index;
    return TRUE;
  }

  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property,
                                         DWORD* /*regDataType*/, BYTE* buffer, DWORD bufferSize,
                                         DWORD* required) override {
    const DWORD index = element->DevInst;
    propertyReads.push_back({index, property, bufferSize, required ? *required : 0,
                             required != nullptr});
    log.push_back("SetupDiGetDeviceRegistryPropertyA " + std::to_string(index) + " " +
                  (property == SPDRP_DRIVER ? "driver" : "friendlyName") + " " +
                  std::to_string(bufferSize));
    if (set != DeviceSet() || index >= devices.size()) return Fail(ERROR_INVALID_PARAMETER);
    DatabaseDevice& device = devices[index];
    const int round = device.rounds[property]++;
    if (device.onRead)
      if (auto answer = device.onRead(property, round, buffer, bufferSize, required, lastError))
        return *answer;
    const std::optional<std::string>& value =
        property == SPDRP_DRIVER ? device.driverKey : device.friendlyName;
    if (!value || (property != SPDRP_DRIVER && property != SPDRP_FRIENDLYNAME))
      return Fail(ERROR_INVALID_DATA);
    const DWORD size = static_cast<DWORD>(value->size() + (device.terminated ? 1 : 0));
    if (required) *required = size;
    if (bufferSize < size || buffer == nullptr) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, value->c_str(), size);
    return TRUE;
  }

  // No device interfaces: controllers are reached through their HCD links only.
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO, SP_DEVINFO_DATA*, const GUID*, DWORD,
                                   SP_DEVICE_INTERFACE_DATA*) override {
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO, SP_DEVICE_INTERFACE_DATA*,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A*, DWORD, DWORD*,
                                        SP_DEVINFO_DATA*) override {
    return Fail(ERROR_INVALID_PARAMETER);
  }

  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    ++deviceSetsDestroyed;
    log.push_back(std::string("SetupDiDestroyDeviceInfoList") +
                  (set == DeviceSet() ? "" : " of a foreign set"));
    return TRUE;
  }

  DWORD GetLastError() override { return lastError; }

  BOOL GetComputerNameA(char* buffer, DWORD* size) override {
    log.push_back("GetComputerNameA " + std::to_string(*size));
    if (!computerName) return Fail(ERROR_FILE_NOT_FOUND);
    if (*size < computerName->size() + 1) {
      *size = static_cast<DWORD>(computerName->size() + 1);
      lastError = 111;  // ERROR_BUFFER_OVERFLOW
      return FALSE;
    }
    std::memcpy(buffer, computerName->c_str(), computerName->size() + 1);
    *size = static_cast<DWORD>(computerName->size());
    return TRUE;
  }

 private:
  BOOL Fail(DWORD error = ERROR_GEN_FAILURE) {
    lastError = error;
    return FALSE;
  }

  // The hub driver's answer to a probe or a fetch: the header, then as much of the text as
  // the buffer holds.
  BOOL AnswerName(NameReply& reply, bool perConnection, std::uint32_t index, void* out,
                  DWORD outSize) {
    const bool probe = reply.calls++ % 2 == 0;
    if ((probe && reply.probeFails) || (!probe && reply.fetchFails)) return Fail();
    const DWORD header = perConnection ? 8 : 4;
    if (outSize < header) return Fail();
    const std::uint32_t textBytes = static_cast<std::uint32_t>(reply.text.size() * sizeof(WCHAR));
    const std::uint32_t actualLength = reply.actualLength.value_or(header + textBytes);
    auto* bytes = static_cast<std::uint8_t*>(out);
    if (perConnection) std::memcpy(bytes, &index, 4);
    std::memcpy(bytes + header - 4, &actualLength, 4);
    const std::uint32_t room = outSize - header;
    std::memcpy(bytes + header, reply.text.data(), room < textBytes ? room : textBytes);
    return TRUE;
  }
};

}  // namespace keldar::fake
