#include "platform/linux/sysfs_scanner.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/linux/usbfs.h"
#include "text/text_codec.h"

#if defined(__unix__)
#include <unistd.h>
#endif

namespace keldar {

namespace {

namespace fs = std::filesystem;

// The kernel never chains sysfs links this deep; a longer chain is a loop in a hand-made tree.
constexpr int kMaxLinkHops = 40;
// A sysfs text attribute is at most one page.
constexpr std::size_t kAttributeLimit = 4096;
constexpr std::size_t kDeviceDescriptorSize = 18;
constexpr std::uint8_t kHubClass = 0x09;
constexpr std::uint8_t kHubDescriptorType = 0x29;
constexpr std::uint8_t kSuperSpeedHubDescriptorType = 0x2A;
// bmAttributes of a configuration: the device powers itself rather than drawing from the bus.
constexpr unsigned kSelfPowered = 0x40;

fs::path Join(const fs::path& root, const std::vector<fs::path>& parts) {
  fs::path path = root;
  for (const auto& part : parts) path /= part;
  return path;
}

// Resolves `relative` below `root` as the kernel would if `root` were mounted at /sys: links
// are followed, a relative target is taken from the link's folder, an absolute one
// ("/sys/devices/...") from the root, and ".." never climbs above the root. None when a
// component is missing (the device has gone, the link dangles) or the links loop.
std::optional<fs::path> ResolveInside(const fs::path& root, const fs::path& relative) {
  std::vector<fs::path> resolved;
  std::deque<fs::path> pending(relative.begin(), relative.end());
  int hops = 0;
  while (!pending.empty()) {
    const fs::path part = pending.front();
    pending.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!resolved.empty()) resolved.pop_back();
      continue;
    }
    const fs::path here = Join(root, resolved) / part;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(here, error);
    if (error || !fs::exists(status)) return std::nullopt;
    if (!fs::is_symlink(status)) {
      resolved.push_back(part);
      continue;
    }
    if (++hops > kMaxLinkHops) return std::nullopt;
    const fs::path target = fs::read_symlink(here, error);
    if (error) return std::nullopt;
    std::vector<fs::path> parts;
    if (target.is_absolute()) {
      resolved.clear();
      const fs::path inside = target.relative_path();
      parts.assign(inside.begin(), inside.end());
      if (!parts.empty() && parts.front() == "sys") parts.erase(parts.begin());
    } else {
      parts.assign(target.begin(), target.end());
    }
    pending.insert(pending.begin(), parts.begin(), parts.end());
  }
  return Join(root, resolved);
}

// At most `limit` bytes of an attribute; none when it cannot be opened, which in sysfs means
// that the device has gone.
std::optional<std::string> ReadBytes(const fs::path& file, std::size_t limit) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(limit, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(limit));
  if (in.bad()) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// The kernel ends every text attribute with a line break; a hand-made tree may not.
std::optional<std::string> ReadText(const fs::path& dir, const char* name) {
  auto text = ReadBytes(dir / name, kAttributeLimit);
  if (!text) return std::nullopt;
  if (const auto nul = text->find('\0'); nul != std::string::npos) text->resize(nul);
  if (!text->empty() && text->back() == '\n') text->pop_back();
  return text;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, int base, std::uint64_t max) {
  text = Trim(text);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max)
    return std::nullopt;
  return value;
}

// A numeric attribute. The kernel pads some with blanks (" 2.00", "%2x"); an empty one means
// "not configured"; anything that does not parse, or exceeds its field, is treated as absent.
std::optional<std::uint64_t> ReadNumber(const fs::path& dir, const char* name, int base,
                                        std::uint64_t max) {
  const auto text = ReadText(dir, name);
  if (!text) return std::nullopt;
  return ParseNumber(*text, base, max);
}

template <typename Field>
void Assign(Field& field, std::optional<std::uint64_t> value) {
  if (value) field = static_cast<Field>(*value);
}

// A string attribute as the model holds it: UTF-8 (the kernel converts string descriptors to
// it; bytes that are not UTF-8 become U+FFFD). Empty or missing: none.
std::optional<std::string> CleanName(std::optional<std::string> name) {
  if (!name || name->empty()) return std::nullopt;
  return CleanUtf8(*name);
}

std::optional<std::string> ReadName(const fs::path& dir, const char* name) {
  return CleanName(ReadText(dir, name));
}

// `descriptors` starts with the device descriptor as the device sent it (little-endian).
model::DeviceDescriptor ParseDeviceDescriptor(const std::string& bytes) {
  const auto u8 = [&](int at) { return static_cast<std::uint8_t>(bytes[at]); };
  const auto u16 = [&](int at) { return static_cast<std::uint16_t>(u8(at) | u8(at + 1) << 8); };
  model::DeviceDescriptor descriptor;
  descriptor.bLength = u8(0);
  descriptor.bDescriptorType = u8(1);
  descriptor.bcdUSB = u16(2);
  descriptor.bDeviceClass = u8(4);
  descriptor.bDeviceSubClass = u8(5);
  descriptor.bDeviceProtocol = u8(6);
  descriptor.bMaxPacketSize0 = u8(7);
  descriptor.idVendor = u16(8);
  descriptor.idProduct = u16(10);
  descriptor.bcdDevice = u16(12);
  descriptor.iManufacturer = u8(14);
  descriptor.iProduct = u8(15);
  descriptor.iSerialNumber = u8(16);
  descriptor.bNumConfigurations = u8(17);
  return descriptor;
}

// `version` is bcdUSB printed as "%2x.%02x".
std::optional<std::uint64_t> ReadVersion(const fs::path& dir) {
  const auto text = ReadText(dir, "version");
  if (!text) return std::nullopt;
  const std::string_view version = Trim(*text);
  const auto dot = version.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const auto major = ParseNumber(version.substr(0, dot), 16, 0xFF);
  const auto minor = ParseNumber(version.substr(dot + 1), 16, 0xFF);
  if (!major || !minor) return std::nullopt;
  return *major << 8 | *minor;
}

// The device descriptor from the single-field attributes the kernel also exports, for a
// `descriptors` that is cut short. None when not even the IDs are there: the device has gone.
std::optional<model::DeviceDescriptor> DescriptorFromAttributes(const fs::path& dir) {
  const auto vendor = ReadNumber(dir, "idVendor", 16, 0xFFFF);
  const auto product = ReadNumber(dir, "idProduct", 16, 0xFFFF);
  if (!vendor && !product) return std::nullopt;
  model::DeviceDescriptor descriptor;
  Assign(descriptor.idVendor, vendor);
  Assign(descriptor.idProduct, product);
  Assign(descriptor.bcdUSB, ReadVersion(dir));
  Assign(descriptor.bcdDevice, ReadNumber(dir, "bcdDevice", 16, 0xFFFF));
  Assign(descriptor.bDeviceClass, ReadNumber(dir, "bDeviceClass", 16, 0xFF));
  Assign(descriptor.bDeviceSubClass, ReadNumber(dir, "bDeviceSubClass", 16, 0xFF));
  Assign(descriptor.bDeviceProtocol, ReadNumber(dir, "bDeviceProtocol", 16, 0xFF));
  Assign(descriptor.bMaxPacketSize0, ReadNumber(dir, "bMaxPacketSize0", 10, 0xFF));
  Assign(descriptor.bNumConfigurations, ReadNumber(dir, "bNumConfigurations", 10, 0xFF));
  return descriptor;
}

// A SuperSpeed hub (5000 Mbit/s and up, the USB 3 root hubs among them) has a descriptor type of
// its own, and answers only for that type.
bool IsSuperSpeed(const fs::path& dir) {
  const auto text = ReadText(dir, "speed");
  const auto megabits = text ? ParseNumber(*text, 10, UINT32_MAX) : std::nullopt;
  return megabits && *megabits >= 5000;
}

// The fields of the hub descriptor that sysfs does not carry, asked of the hub itself.
bool ReadHubDescriptorFromUsbfs(const std::string& usbfsRoot, const fs::path& dir,
                                model::HubDescriptor& descriptor) {
  const auto bus = ReadNumber(dir, "busnum", 10, 999);
  const auto address = ReadNumber(dir, "devnum", 10, 999);
  const auto dev = ReadText(dir, "dev");
  if (!bus || !address || !dev) return false;
  const auto colon = dev->find(':');
  if (colon == std::string::npos) return false;
  const auto major = ParseNumber(std::string_view(*dev).substr(0, colon), 10, 0xFFF);
  const auto minor = ParseNumber(std::string_view(*dev).substr(colon + 1), 10, 0xFFFFF);
  if (!major || !minor) return false;
  // A SuperSpeed hub answers only for its own descriptor type.
  const std::uint8_t type = IsSuperSpeed(dir) ? kSuperSpeedHubDescriptorType : kHubDescriptorType;
  const UsbfsDevice device{usbfsRoot, static_cast<unsigned>(*bus), static_cast<unsigned>(*address),
                           static_cast<unsigned>(*major), static_cast<unsigned>(*minor)};
  const auto data = AskHubDescriptor(device, type);
  // The seven fixed bytes at least; the port count stays what sysfs says (maxchild).
  if (!data || data->size() < offsetof(USB_HUB_DESCRIPTOR, bRemoveAndPowerMask) ||
      (*data)[1] != type)
    return false;
  // The record keeps the descriptor's own layout (little-endian, packed).
  USB_HUB_DESCRIPTOR wire{};
  std::memcpy(&wire, data->data(), std::min(data->size(), sizeof wire));
  const std::uint8_t ports = descriptor.bNumberOfPorts;
  descriptor = model::FromRecord(wire);
  descriptor.bNumberOfPorts = ports;
  return true;
}

class Scanner {
 public:
  Scanner(fs::path root, const SysfsScanOptions& options)
      : root_(std::move(root)), options_(options) {}

  // The names listed in bus/usb/devices, interfaces ("1-0:1.0") left out.
  void ListDevices(const std::string& rootText) {
    const auto devices = ResolveInside(root_, "bus/usb/devices");
    std::error_code error;
    if (!devices || !fs::is_directory(*devices, error))
      throw SysfsError("\"" + rootText +
                       "\" is not a sysfs tree with USB support: it has no bus/usb/devices "
                       "directory");
    fs::directory_iterator it(*devices, error);
    if (error)
      throw SysfsError("\"" + rootText + "/bus/usb/devices\" cannot be listed: " +
                       error.message());
    for (; it != fs::directory_iterator(); it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name.find(':') == std::string::npos) names_.insert(name);
    }
    if (error)
      throw SysfsError("\"" + rootText + "/bus/usb/devices\" cannot be listed: " +
                       error.message());
  }

  std::vector<model::Controller> ReadControllers() {
    // Root hubs in bus-number order: usb2 before usb10.
    std::vector<std::pair<std::uint64_t, std::string>> rootHubs;
    for (const auto& name : names_) {
      if (name.rfind("usb", 0) != 0) continue;
      const std::string_view digits = std::string_view(name).substr(3);
      if (digits.empty() ||
          !std::all_of(digits.begin(), digits.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        continue;
      if (const auto bus = ParseNumber(digits, 10, UINT32_MAX)) rootHubs.emplace_back(*bus, name);
    }
    std::sort(rootHubs.begin(), rootHubs.end());

    std::vector<model::Controller> controllers;
    for (const auto& [bus, name] : rootHubs) {
      const auto dir = Resolve(name);
      if (!dir) continue;
      const fs::path parent = dir->parent_path();
      model::Controller controller;
      controller.driverKey = parent.filename().string();
      if (const auto modalias = ReadText(parent, "modalias"); modalias && !modalias->empty())
        controller.friendlyName = ModelName(*modalias);
      if (!controller.friendlyName) controller.friendlyName = ReadName(*dir, "product");
      controller.rootHub = ReadHub(name, *dir, std::to_string(bus) + "-");
      controllers.push_back(std::move(controller));
    }
    return controllers;
  }

 private:
  std::optional<fs::path> Resolve(const std::string& name) const {
    return ResolveInside(root_, fs::path("bus/usb/devices") / name);
  }

  std::optional<std::string> ModelName(const std::string& key) const {
    if (!options_.modelNames) return std::nullopt;
    return CleanName(options_.modelNames(key));
  }

  // A hub's ports are its children named `childPrefix` + port number ("1-" under usb1, "1-2."
  // under 1-2). Ports without a readable child stay unlisted: empty.
  std::unique_ptr<model::Hub> ReadHub(const std::string& name, const fs::path& dir,
                                      const std::string& childPrefix) {
    auto hub = std::make_unique<model::Hub>();
    hub->name = name;
    // What sysfs implies; the rest of the hub descriptor is not in sysfs.
    hub->descriptor.bDescriptorLength = 0;
    hub->descriptor.bDescriptorType =
        IsSuperSpeed(dir) ? kSuperSpeedHubDescriptorType : kHubDescriptorType;
    Assign(hub->descriptor.bNumberOfPorts, ReadNumber(dir, "maxchild", 10, 0xFF));
    const auto attributes = ReadNumber(dir, "bmAttributes", 16, 0xFF);
    hub->busPowered = attributes && (*attributes & kSelfPowered) == 0;
    if (!options_.usbfsRoot.empty())
      ReadHubDescriptorFromUsbfs(options_.usbfsRoot, dir, hub->descriptor);

    for (int number = 1; number <= hub->descriptor.bNumberOfPorts; ++number) {
      const std::string childName = childPrefix + std::to_string(number);
      if (names_.count(childName) == 0) continue;
      const auto childDir = Resolve(childName);
      if (!childDir) continue;
      auto device = ReadDevice(childName, *childDir);
      if (!device) continue;
      model::Port port;
      port.port = number;
      port.device = std::move(device);
      hub->ports.push_back(std::move(port));
    }
    return hub;
  }

  std::unique_ptr<model::Device> ReadDevice(const std::string& name, const fs::path& dir) {
    const auto raw = ReadBytes(dir / "descriptors", kDeviceDescriptorSize);
    if (!raw) return nullptr;  // the device has gone since bus/usb/devices was listed
    auto device = std::make_unique<model::Device>();
    if (raw->size() == kDeviceDescriptorSize) {
      device->descriptor = ParseDeviceDescriptor(*raw);
    } else if (const auto descriptor = DescriptorFromAttributes(dir)) {
      device->descriptor = *descriptor;
    } else {
      return nullptr;
    }
    // The kernel's only fractional speed: 1.5 Mbit/s, low speed.
    const auto speed = ReadText(dir, "speed");
    device->lowSpeed = speed && Trim(*speed) == "1.5";
    Assign(device->deviceAddress, ReadNumber(dir, "devnum", 10, 0xFFFF));
    Assign(device->currentConfigurationValue, ReadNumber(dir, "bConfigurationValue", 10, 0xFF));
    // The sysfs name is the port path from the root hub: stable across plugging, unique.
    device->driverKey = name;
    char key[32];
    std::snprintf(key, sizeof key, "usb:v%04Xp%04X*", device->descriptor.idVendor,
                  device->descriptor.idProduct);
    device->friendlyName = ModelName(key);
    if (!device->friendlyName) device->friendlyName = ReadName(dir, "product");
    if (device->descriptor.bDeviceClass == kHubClass)
      device->hub = ReadHub(name, dir, name + ".");
    return device;
  }

  fs::path root_;
  const SysfsScanOptions& options_;
  std::set<std::string> names_;
};

std::optional<std::string> HostName() {
#if defined(__unix__)
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
  return std::string(name);
#else
  return std::nullopt;
#endif
}

}  // namespace

model::UsbModel ScanSysfs(const std::string& sysfsRoot) {
  SysfsScanOptions options;
  options.modelNames = HardwareDatabaseLookup();
  // Only the live tree describes the devices that usbfs reaches.
  std::error_code error;
  if (fs::equivalent(sysfsRoot, "/sys", error) && !error) options.usbfsRoot = "/dev/bus/usb";
  return ScanSysfs(sysfsRoot, options);
}

model::UsbModel ScanSysfs(const std::string& sysfsRoot, const SysfsScanOptions& options) {
  const fs::path root(sysfsRoot);
  std::error_code error;
  if (!fs::is_directory(root, error))
    throw SysfsError("\"" + sysfsRoot + "\" is not a directory");

  Scanner scanner(root, options);
  scanner.ListDevices(sysfsRoot);
  model::UsbModel model;
  model.computerName = HostName();
  // The texts reach the access layer as a Chinese Windows would hand them on.
  model.ansiCodePage = 936;
  model.controllers = scanner.ReadControllers();
  return model;
}

}  // namespace keldar
