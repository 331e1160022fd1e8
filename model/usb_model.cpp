#include "model/usb_model.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace keldar::model {

namespace {
// The hub driver's records lay the descriptors out as the devices send them: the fields in
// their listed order, packed, little-endian (as every Windows and Linux target is).
static_assert(std::endian::native == std::endian::little,
              "the descriptors are copied byte for byte from and to little-endian records");
template <typename Descriptor>
constexpr std::size_t kListedSize = [] {
  std::size_t size = 0;
  Descriptor descriptor;
  Descriptor::Fields([&size](std::string_view, const auto& field) { size += sizeof field; },
                     descriptor);
  return size;
}();
static_assert(kListedSize<DeviceDescriptor> == sizeof(USB_DEVICE_DESCRIPTOR));
static_assert(kListedSize<HubDescriptor> == offsetof(USB_HUB_DESCRIPTOR, bRemoveAndPowerMask));

template <typename Record, typename Descriptor>
Record ToBytes(const Descriptor& descriptor) {
  Record record{};
  auto* bytes = reinterpret_cast<unsigned char*>(&record);
  Descriptor::Fields(
      [&bytes](std::string_view, const auto& field) {
        std::memcpy(bytes, &field, sizeof field);
        bytes += sizeof field;
      },
      descriptor);
  return record;
}

template <typename Descriptor, typename Record>
Descriptor FromBytes(const Record& record) {
  Descriptor descriptor;
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
  Descriptor::Fields(
      [&bytes](std::string_view, auto& field) {
        std::memcpy(&field, bytes, sizeof field);
        bytes += sizeof field;
      },
      descriptor);
  return descriptor;
}
}  // namespace

std::optional<std::size_t> ControllerNumber(std::string_view deviceName) {
  // The name is opened as a C string, so it ends at its first 0 character; Windows compares
  // device names without regard to case.
  deviceName = deviceName.substr(0, deviceName.find('\0'));
  constexpr std::string_view kControllerName = "HCD";
  if (deviceName.size() < kControllerName.size() ||
      !std::equal(kControllerName.begin(), kControllerName.end(), deviceName.begin(),
                  [](char a, char b) { return a == std::toupper(static_cast<unsigned char>(b)); }))
    return std::nullopt;
  const std::string_view digits = deviceName.substr(kControllerName.size());
  if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0'))
    return std::nullopt;
  std::size_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<std::size_t>(c - '0');
  }
  return number;
}

USB_DEVICE_DESCRIPTOR ToRecord(const DeviceDescriptor& descriptor) {
  return ToBytes<USB_DEVICE_DESCRIPTOR>(descriptor);
}

DeviceDescriptor FromRecord(const USB_DEVICE_DESCRIPTOR& record) {
  return FromBytes<DeviceDescriptor>(record);
}

USB_HUB_DESCRIPTOR ToRecord(const HubDescriptor& descriptor) {
  return ToBytes<USB_HUB_DESCRIPTOR>(descriptor);
}

HubDescriptor FromRecord(const USB_HUB_DESCRIPTOR& record) {
  return FromBytes<HubDescriptor>(record);
}

std::optional<unsigned> HcdNumber(const UsbModel& model, std::size_t index) {
  const std::optional<int>& number = model.controllers.at(index).hcdNumber;
  if (!number) {
    if (index >= static_cast<std::size_t>(kHcdLinks)) return std::nullopt;
    return static_cast<unsigned>(index);
  }
  if (*number < 0) return std::nullopt;
  return static_cast<unsigned>(*number);
}

namespace {
// Shaped like a PCI controller's interface path, as the device-installation database
// hands them out (in lower case).
constexpr std::string_view kInterfacePathHead = "\\\\?\\pci#ven_keld&dev_model#";
constexpr std::string_view kInterfacePathTail = "#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
}  // namespace

std::string HostControllerInterfacePath(std::size_t index) {
  // Four digits, so that the database lists the interfaces in the order of the controllers.
  char number[24];
  std::snprintf(number, sizeof number, "%04zu", index);
  return std::string(kInterfacePathHead) + number + std::string(kInterfacePathTail);
}

std::optional<std::size_t> HostControllerInterfaceIndex(std::string_view path) {
  if (path.size() <= kInterfacePathHead.size() + kInterfacePathTail.size() ||
      path.substr(0, kInterfacePathHead.size()) != kInterfacePathHead ||
      path.substr(path.size() - kInterfacePathTail.size()) != kInterfacePathTail)
    return std::nullopt;
  const std::string_view digits = path.substr(
      kInterfacePathHead.size(), path.size() - kInterfacePathHead.size() - kInterfacePathTail.size());
  if (digits.size() < 4 || (digits.size() > 4 && digits[0] == '0')) return std::nullopt;
  std::size_t index = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return index;
}

std::vector<const Port*> PortsInOrder(const Hub& hub) {
  std::vector<const Port*> ports;
  ports.reserve(hub.ports.size());
  for (const Port& port : hub.ports) ports.push_back(&port);
  std::stable_sort(ports.begin(), ports.end(),
                   [](const Port* a, const Port* b) { return a->port < b->port; });
  return ports;
}

const Port* PortNumbered(const Hub& hub, std::uint32_t number) {
  for (const Port& port : hub.ports)
    if (port.port >= 0 && static_cast<std::uint32_t>(port.port) == number) return &port;
  return nullptr;
}


namespace {
struct NameFaultSpelling {
  NameFault fault;
  const char* name;
};
// The spellings used in topology files.
constexpr NameFaultSpelling kNameFaults[] = {
    {NameFault::None, "none"},
    {NameFault::ProbeFails, "probeFails"},
    {NameFault::AbsurdLength, "absurdLength"},
    {NameFault::FetchFails, "fetchFails"},
    {NameFault::ConversionFails, "conversionFails"},
    {NameFault::BareHeader, "bareHeader"},
    {NameFault::ShortLength, "shortLength"},
    {NameFault::OddLength, "oddLength"},
    {NameFault::NoTerminator, "noTerminator"},
};
}  // namespace

const char* NameFaultName(NameFault fault) {
  for (const auto& row : kNameFaults)
    if (row.fault == fault) return row.name;
  return "none";
}

std::optional<NameFault> ParseNameFault(std::string_view name) {
  for (const auto& row : kNameFaults)
    if (name == row.name) return row.fault;
  return std::nullopt;
}

bool operator==(const UsbModel& a, const UsbModel& b) {
  return a.computerName == b.computerName && a.ansiCodePage == b.ansiCodePage &&
         a.controllers == b.controllers && a.otherDevices == b.otherDevices &&
         a.deviceSetFails == b.deviceSetFails && a.driverKeysArePorts == b.driverKeysArePorts &&
         a.environment == b.environment;
}

}  // namespace keldar::model
