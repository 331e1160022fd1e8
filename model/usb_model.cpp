#include "model/usb_model.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>

namespace keldar::model {

namespace {
// The fields both forms share, in descriptor order.
#define KELDAR_DEVICE_DESCRIPTOR_FIELDS(X) \
  X(bLength) \
  X(bDescriptorType) \
  X(bcdUSB) \
  X(bDeviceClass) \
  X(bDeviceSubClass) \
  X(bDeviceProtocol) \
  X(bMaxPacketSize0) \
  X(idVendor) \
  X(idProduct) \
  X(bcdDevice) \
  X(iManufacturer) \
  X(iProduct) \
  X(iSerialNumber) \
  X(bNumConfigurations)

template <typename To, typename From>
To CopyDescriptor(const From& from) {
  To to{};
#define KELDAR_COPY_FIELD(field) to.field = from.field;
  KELDAR_DEVICE_DESCRIPTOR_FIELDS(KELDAR_COPY_FIELD)
#undef KELDAR_COPY_FIELD
  return to;
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
  return CopyDescriptor<USB_DEVICE_DESCRIPTOR>(descriptor);
}

DeviceDescriptor FromRecord(const USB_DEVICE_DESCRIPTOR& record) {
  return CopyDescriptor<DeviceDescriptor>(record);
}

USB_HUB_DESCRIPTOR ToRecord(const HubDescriptor& descriptor) {
  USB_HUB_DESCRIPTOR record{};
  record.bDescriptorLength = descriptor.bDescriptorLength;
  record.bDescriptorType = descriptor.bDescriptorType;
  record.bNumberOfPorts = descriptor.bNumberOfPorts;
  record.wHubCharacteristics = descriptor.wHubCharacteristics;
  record.bPowerOnToPowerGood = descriptor.bPowerOnToPowerGood;
  record.bHubControlCurrent = descriptor.bHubControlCurrent;
  return record;
}

HubDescriptor FromRecord(const USB_HUB_DESCRIPTOR& record) {
  HubDescriptor descriptor;
  descriptor.bDescriptorLength = record.bDescriptorLength;
  descriptor.bDescriptorType = record.bDescriptorType;
  descriptor.bNumberOfPorts = record.bNumberOfPorts;
  descriptor.wHubCharacteristics = record.wHubCharacteristics;
  descriptor.bPowerOnToPowerGood = record.bPowerOnToPowerGood;
  descriptor.bHubControlCurrent = record.bHubControlCurrent;
  return descriptor;
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

namespace {
// Both absent, or both present and equal.
template <typename T>
bool SameOwned(const std::unique_ptr<T>& a, const std::unique_ptr<T>& b) {
  if (!a || !b) return !a && !b;
  return *a == *b;
}

std::unique_ptr<Hub> CloneHub(const Hub& hub);

Port ClonePort(const Port& port) {
  Port copy;
  copy.port = port.port;
  copy.connectionStatus = port.connectionStatus;
  copy.faults = port.faults;
  if (port.device) {
    const Device& device = *port.device;
    copy.device = std::make_unique<Device>();
    copy.device->descriptor = device.descriptor;
    copy.device->lowSpeed = device.lowSpeed;
    copy.device->deviceAddress = device.deviceAddress;
    copy.device->currentConfigurationValue = device.currentConfigurationValue;
    copy.device->driverKey = device.driverKey;
    copy.device->friendlyName = device.friendlyName;
    copy.device->databaseFaults = device.databaseFaults;
    if (device.hub) copy.device->hub = CloneHub(*device.hub);
  }
  return copy;
}

std::unique_ptr<Hub> CloneHub(const Hub& hub) {
  auto copy = std::make_unique<Hub>();
  copy->name = hub.name;
  copy->busPowered = hub.busPowered;
  copy->descriptor = hub.descriptor;
  copy->faults = hub.faults;
  copy->ports.reserve(hub.ports.size());
  for (const Port& port : hub.ports) copy->ports.push_back(ClonePort(port));
  return copy;
}
}  // namespace

bool operator==(const Port& a, const Port& b) {
  return a.port == b.port && a.connectionStatus == b.connectionStatus && a.faults == b.faults &&
         SameOwned(a.device, b.device);
}

bool operator==(const Hub& a, const Hub& b) {
  return a.name == b.name && a.busPowered == b.busPowered && a.descriptor == b.descriptor &&
         a.faults == b.faults && a.ports == b.ports;
}

bool operator==(const Device& a, const Device& b) {
  return a.descriptor == b.descriptor && a.lowSpeed == b.lowSpeed &&
         a.deviceAddress == b.deviceAddress &&
         a.currentConfigurationValue == b.currentConfigurationValue &&
         a.driverKey == b.driverKey && a.friendlyName == b.friendlyName &&
         a.databaseFaults == b.databaseFaults && SameOwned(a.hub, b.hub);
}

bool operator==(const Controller& a, const Controller& b) {
  return a.hcdNumber == b.hcdNumber && a.driverKey == b.driverKey &&
         a.friendlyName == b.friendlyName &&
         a.faults == b.faults && a.databaseFaults == b.databaseFaults &&
         SameOwned(a.rootHub, b.rootHub);
}

bool operator==(const OtherDevice& a, const OtherDevice& b) {
  return a.driverKey == b.driverKey && a.friendlyName == b.friendlyName &&
         a.databaseFaults == b.databaseFaults;
}

bool operator==(const UsbModel& a, const UsbModel& b) {
  return a.computerName == b.computerName && a.ansiCodePage == b.ansiCodePage &&
         a.controllers == b.controllers && a.otherDevices == b.otherDevices &&
         a.deviceSetFails == b.deviceSetFails;
}

UsbModel Clone(const UsbModel& model) {
  UsbModel copy;
  copy.computerName = model.computerName;
  copy.ansiCodePage = model.ansiCodePage;
  copy.otherDevices = model.otherDevices;
  copy.deviceSetFails = model.deviceSetFails;
  copy.warnings = model.warnings;
  copy.controllers.reserve(model.controllers.size());
  for (const Controller& controller : model.controllers) {
    Controller& c = copy.controllers.emplace_back();
    c.hcdNumber = controller.hcdNumber;
    c.driverKey = controller.driverKey;
    c.friendlyName = controller.friendlyName;
    c.faults = controller.faults;
    c.databaseFaults = controller.databaseFaults;
    if (controller.rootHub) c.rootHub = CloneHub(*controller.rootHub);
  }
  return copy;
}

}  // namespace keldar::model
