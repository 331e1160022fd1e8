#include "tools/model_generator.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace keldar::model {

namespace {

// Model texts are UTF-8; narrow literals here would be GBK at run time.
std::string U8(std::u8string_view text) { return std::string(text.begin(), text.end()); }

// The setup classes whose driver keys the database holds most often.
constexpr const char* kUsbClass = "{36fc9e60-c465-11cf-8056-444553540000}";
constexpr const char* kHidClass = "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
constexpr const char* kOtherClasses[] = {
    "{4d36e97d-e325-11ce-bfc1-08002be10318}",  // system devices
    "{4d36e967-e325-11ce-bfc1-08002be10318}",  // disk drives
    "{4d36e968-e325-11ce-bfc1-08002be10318}",  // display adapters
    "{4d36e96f-e325-11ce-bfc1-08002be10318}",  // mice
    "{4d36e972-e325-11ce-bfc1-08002be10318}",  // network adapters
    "{4d36e97b-e325-11ce-bfc1-08002be10318}",  // storage controllers
};
constexpr const char* kHubInterface = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";

struct Product {
  std::uint16_t vendor;
  std::uint16_t product;
  bool hid;
};
// Everyday devices, with a few protection keys among them.
constexpr Product kProducts[] = {
    {0x046D, 0xC31C, true},  {0x046D, 0xC077, true},  {0x0BDA, 0x0129, false},
    {0x0781, 0x5567, false}, {0x0951, 0x1666, false}, {0x8087, 0x0A2B, false},
    {0x04F2, 0xB604, false}, {0x096E, 0x0006, true},  {0x0529, 0x0001, false},
    {0x1BC0, 0x8013, true},  {0x04B9, 0x0305, false}, {0x5149, 0xEACE, true},
};

// Mixed lengths on purpose: some fit the buffer the driver key was read into, some do not.
const std::vector<std::string>& FriendlyNames() {
  static const std::vector<std::string> names = {
      "USB Composite Device",
      U8(u8"USB 输入设备"),
      "HID Keyboard Device",
      "USB Mass Storage Device",
      U8(u8"Intel(R) USB 3.0 可扩展主机控制器 - 1.0 (Microsoft)"),
      "Generic SuperSpeed USB Hub",
      "Realtek USB 2.0 Card Reader with an unusually long friendly name",
      "Key",
      U8(u8"USB 加密锁"),
  };
  return names;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

class Generator {
 public:
  explicit Generator(const MachineShape& shape) : shape_(shape), random_(shape.seed) {}

  UsbModel Run() {
    UsbModel model;
    model.computerName = "BENCH-PC";
    int controllers = shape_.controllers;
    if (controllers <= 0) controllers = static_cast<int>(shape_.treeItems / 200);
    controllers = std::clamp(controllers, 1, 10);

    // The computer item, then two items (controller and root hub) for every controller.
    const std::size_t fixed = 1 + 2 * static_cast<std::size_t>(controllers);
    const std::size_t portItems = shape_.treeItems > fixed ? shape_.treeItems - fixed : 0;
    for (int c = 0; c < controllers; ++c) {
      Controller& controller = model.controllers.emplace_back();
      controller.driverKey = NewKey(kUsbClass);
      controller.friendlyName = FriendlyNames()[4];
      ApplyQuirks(controller.friendlyName, controller.databaseFaults);
      controller.rootHub = std::make_unique<Hub>();
      char name[96];
      std::snprintf(name, sizeof name, "USB#ROOT_HUB30#4&%x&0&0#%s", 0x1f6b4a3cu + c,
                    kHubInterface);
      controller.rootHub->name = name;
      // The ports go evenly to the controllers; the last one takes what is left over.
      budget_ = portItems / static_cast<std::size_t>(controllers);
      if (c == controllers - 1) budget_ = portItems - budget_ * static_cast<std::size_t>(c);
      FillHub(*controller.rootHub, 0, 255);
    }
    for (std::size_t i = 0; i < shape_.otherDevices; ++i) model.otherDevices.push_back(NewOther());
    return model;
  }

 private:
  int Roll() { return static_cast<int>(random_() % 100); }
  bool Chance(int percent) { return Roll() < percent; }

  std::string NewKey(const char* setupClass) {
    char key[64];
    std::snprintf(key, sizeof key, "%s\\%04u", setupClass, nextKey_++);
    std::string text = key;
    usbKeys_.push_back(text);
    return text;
  }

  // A key for the next device: usually its own, sometimes one an earlier device carries.
  std::optional<std::string> DeviceKey(const char* setupClass) {
    if (Chance(shape_.noDriverKeyPercent)) return std::nullopt;
    if (!usbKeys_.empty() && Chance(shape_.duplicateKeyPercent))
      return usbKeys_[random_() % usbKeys_.size()];
    return NewKey(setupClass);
  }

  void ApplyQuirks(std::optional<std::string>& friendlyName, DatabaseFaults& faults) {
    if (Chance(shape_.noFriendlyNamePercent)) friendlyName.reset();
    faults.driverKeyReadFails = Chance(shape_.driverKeyReadFailsPercent);
    faults.friendlyNameReadFails = Chance(shape_.friendlyNameReadFailsPercent);
  }

  std::unique_ptr<Device> NewDevice(bool hub) {
    auto device = std::make_unique<Device>();
    const Product& product = kProducts[random_() % std::size(kProducts)];
    device->descriptor.idVendor = hub ? 0x05E3 : product.vendor;
    device->descriptor.idProduct = hub ? 0x0610 : product.product;
    device->descriptor.bDeviceClass = hub ? 9 : 0;
    device->deviceAddress = static_cast<std::uint16_t>(1 + nextAddress_++ % 127);
    device->currentConfigurationValue = 1;
    device->driverKey = DeviceKey(hub || !product.hid ? kUsbClass : kHidClass);
    device->friendlyName =
        hub ? FriendlyNames()[5] : FriendlyNames()[random_() % FriendlyNames().size()];
    ApplyQuirks(device->friendlyName, device->databaseFaults);
    if (hub) {
      device->hub = std::make_unique<Hub>();
      char name[128];
      std::snprintf(name, sizeof name, "USB#VID_05E3&PID_0610#6&%x&0&%u#%s", 0x2a3b4c5du,
                    nextHub_++, kHubInterface);
      device->hub->name = name;
      device->hub->busPowered = true;
    }
    return device;
  }

  OtherDevice NewOther() {
    OtherDevice other;
    if (!usbKeys_.empty() && Chance(shape_.caseVariantPercent)) {
      // Differs from a USB device's key only in letter case: it must match nothing.
      other.driverKey = Upper(usbKeys_[random_() % usbKeys_.size()]);
    } else if (Chance(25)) {
      // Many system devices have no driver installed, hence no driver key.
    } else if (!usbKeys_.empty() && Chance(shape_.duplicateKeyPercent)) {
      other.driverKey = usbKeys_[random_() % usbKeys_.size()];
    } else {
      char key[64];
      std::snprintf(key, sizeof key, "%s\\%04u",
                    kOtherClasses[random_() % std::size(kOtherClasses)], nextKey_++);
      other.driverKey = key;
    }
    if (Chance(60)) other.friendlyName = FriendlyNames()[random_() % FriendlyNames().size()];
    if (other.driverKey && Chance(shape_.noDriverKeyPercent)) other.driverKey.reset();
    ApplyQuirks(other.friendlyName, other.databaseFaults);
    return other;
  }

  // Hands out up to `portLimit` ports, one item each, while the budget lasts. Empty ports are
  // not listed: the hub answers for them all the same.
  void FillHub(Hub& hub, int externalTier, int portLimit) {
    int ports = 0;
    while (ports < portLimit && budget_ > 0) {
      ++ports;
      --budget_;
      const int roll = Roll();
      const bool hubHere = roll < shape_.hubPercent && externalTier < shape_.hubTiers;
      if (!hubHere && roll >= shape_.hubPercent + shape_.devicePercent) continue;
      Port& port = hub.ports.emplace_back();
      port.port = ports;
      port.device = NewDevice(hubHere);
      if (hubHere) FillHub(*port.device->hub, externalTier + 1, shape_.hubPorts);
    }
    hub.descriptor.bNumberOfPorts = static_cast<std::uint8_t>(ports);
  }

  const MachineShape& shape_;
  std::mt19937 random_;
  std::size_t budget_ = 0;
  unsigned nextKey_ = 0;
  unsigned nextHub_ = 0;
  unsigned nextAddress_ = 0;
  std::vector<std::string> usbKeys_;
};

// Mirrors the tree walk's own tier limit.
constexpr int kWalkedExternalTiers = 5;

std::size_t HubItems(const Hub& hub, int externalTier) {
  std::size_t items = hub.descriptor.bNumberOfPorts;
  for (const Port& port : hub.ports)
    if (port.port >= 1 && port.port <= hub.descriptor.bNumberOfPorts && port.device &&
        port.device->hub && externalTier < kWalkedExternalTiers)
      items += HubItems(*port.device->hub, externalTier + 1);
  return items;
}

std::size_t HubDevices(const Hub& hub) {
  std::size_t devices = 0;
  for (const Port& port : hub.ports)
    if (port.device) devices += 1 + (port.device->hub ? HubDevices(*port.device->hub) : 0);
  return devices;
}

void AddHubKeys(const Hub& hub, std::vector<std::string>& keys) {
  for (const Port& port : hub.ports) {
    if (!port.device) continue;
    if (port.device->driverKey) keys.push_back(*port.device->driverKey);
    if (port.device->hub) AddHubKeys(*port.device->hub, keys);
  }
}

}  // namespace

UsbModel GenerateMachine(const MachineShape& shape) { return Generator(shape).Run(); }

std::size_t CountTreeItems(const UsbModel& model) {
  std::size_t items = 1;
  for (std::size_t c = 0; c < model.controllers.size() && c < 10; ++c) {
    const Controller& controller = model.controllers[c];
    if (controller.faults.openFails) break;
    ++items;
    if (controller.rootHub) items += 1 + HubItems(*controller.rootHub, 0);
  }
  return items;
}

std::size_t CountPresentDevices(const UsbModel& model) {
  std::size_t devices = model.controllers.size() + model.otherDevices.size();
  for (const Controller& controller : model.controllers)
    if (controller.rootHub) devices += HubDevices(*controller.rootHub);
  return devices;
}

std::vector<std::string> DriverKeysOf(const UsbModel& model) {
  std::vector<std::string> keys;
  for (const Controller& controller : model.controllers) {
    keys.push_back(controller.driverKey);
    if (controller.rootHub) AddHubKeys(*controller.rootHub, keys);
  }
  for (const OtherDevice& other : model.otherDevices)
    if (other.driverKey) keys.push_back(*other.driverKey);
  return keys;
}

}  // namespace keldar::model
