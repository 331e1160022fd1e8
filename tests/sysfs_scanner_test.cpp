// The sysfs scanner against fake trees shaped like a kernel's (tests/data/sysfs/*.json, built
// in a temporary folder at test time). Sysfs names carry colons, which Windows file names
// cannot, so these run on Linux only.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/model/sysfs_scanner.h"
#include "tests/sysfs_tree.h"

namespace keldar {
namespace {

using testing::SysfsTree;

namespace fs = std::filesystem;
using nlohmann::json;

const model::Device* DeviceAt(const model::Hub& hub, int number) {
  for (const auto& port : hub.ports)
    if (port.port == number) return port.device.get();
  return nullptr;
}

std::vector<int> OccupiedPorts(const model::Hub& hub) {
  std::vector<int> numbers;
  for (const auto& port : hub.ports)
    if (port.device) numbers.push_back(port.port);
  return numbers;
}

std::string ScanError(const std::string& root) {
  try {
    ScanSysfs(root, {});
  } catch (const SysfsError& error) {
    return error.what();
  }
  return "(no error)";
}

TEST(SysfsScanner, ControllersFollowBusOrderWithTheirRootHubs) {
  const SysfsTree tree("desktop.json");
  const model::UsbModel model = ScanSysfs(tree.Root(), {});

  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(model.computerName, std::string(host));
  EXPECT_EQ(model.ansiCodePage, 936u);
  EXPECT_TRUE(model.otherDevices.empty());

  ASSERT_EQ(model.controllers.size(), 3u);
  const model::Controller& xhci = model.controllers[0];
  EXPECT_EQ(xhci.driverKey, "0000:00:14.0");
  EXPECT_EQ(xhci.friendlyName, "xHCI Host Controller");
  ASSERT_TRUE(xhci.rootHub);
  EXPECT_EQ(xhci.rootHub->name, "usb1");
  EXPECT_EQ(xhci.rootHub->descriptor.bDescriptorLength, 0);
  EXPECT_EQ(xhci.rootHub->descriptor.bDescriptorType, 0x29);
  EXPECT_EQ(xhci.rootHub->descriptor.bNumberOfPorts, 12);
  EXPECT_EQ(xhci.rootHub->descriptor.wHubCharacteristics, 0);
  EXPECT_EQ(xhci.rootHub->descriptor.bPowerOnToPowerGood, 0);
  EXPECT_EQ(xhci.rootHub->descriptor.bHubControlCurrent, 0);
  EXPECT_FALSE(xhci.rootHub->busPowered);
  EXPECT_EQ(OccupiedPorts(*xhci.rootHub), (std::vector<int>{1, 3}));

  const model::Controller& superSpeed = model.controllers[1];
  EXPECT_EQ(superSpeed.driverKey, "0000:00:14.0");
  ASSERT_TRUE(superSpeed.rootHub);
  EXPECT_EQ(superSpeed.rootHub->name, "usb2");
  EXPECT_EQ(superSpeed.rootHub->descriptor.bNumberOfPorts, 2);
  EXPECT_TRUE(superSpeed.rootHub->ports.empty());

  const model::Controller& virtualHost = model.controllers[2];
  EXPECT_EQ(virtualHost.driverKey, "vhci_hcd.0");
  EXPECT_EQ(virtualHost.friendlyName, "USB/IP Virtual Host Controller");
  ASSERT_TRUE(virtualHost.rootHub);
  EXPECT_EQ(virtualHost.rootHub->name, "usb10");
  EXPECT_EQ(virtualHost.rootHub->descriptor.bNumberOfPorts, 8);
  EXPECT_EQ(OccupiedPorts(*virtualHost.rootHub), (std::vector<int>{1}));
}

TEST(SysfsScanner, DevicesCarryTheirDescriptorsSpeedsAndNames) {
  const SysfsTree tree("desktop.json");
  const model::UsbModel model = ScanSysfs(tree.Root(), {});
  ASSERT_EQ(model.controllers.size(), 3u);
  const model::Hub& usb1 = *model.controllers[0].rootHub;

  const model::Device* receiver = DeviceAt(usb1, 1);
  ASSERT_NE(receiver, nullptr);
  const model::DeviceDescriptor& d = receiver->descriptor;
  EXPECT_EQ(d.bcdUSB, 0x0200);
  EXPECT_EQ(d.bMaxPacketSize0, 8);
  EXPECT_EQ(d.idVendor, 0x046D);
  EXPECT_EQ(d.idProduct, 0xC52B);
  EXPECT_EQ(d.bcdDevice, 0x1211);
  EXPECT_EQ(d.iManufacturer, 1);
  EXPECT_EQ(d.iProduct, 2);
  EXPECT_EQ(d.bNumConfigurations, 1);
  EXPECT_FALSE(receiver->lowSpeed);
  EXPECT_EQ(receiver->deviceAddress, 2);
  EXPECT_EQ(receiver->currentConfigurationValue, 1);
  EXPECT_EQ(receiver->driverKey, "1-1");
  EXPECT_EQ(receiver->friendlyName, "USB Receiver");
  EXPECT_FALSE(receiver->hub);

  const model::Device* hubDevice = DeviceAt(usb1, 3);
  ASSERT_NE(hubDevice, nullptr);
  EXPECT_EQ(hubDevice->descriptor.bDeviceClass, 9);
  EXPECT_EQ(hubDevice->driverKey, "1-3");
  ASSERT_TRUE(hubDevice->hub);
  const model::Hub& hub = *hubDevice->hub;
  EXPECT_EQ(hub.name, "1-3");
  EXPECT_EQ(hub.descriptor.bDescriptorType, 0x29);
  EXPECT_EQ(hub.descriptor.bNumberOfPorts, 4);
  EXPECT_TRUE(hub.busPowered);
  EXPECT_EQ(OccupiedPorts(hub), (std::vector<int>{2, 4}));

  const model::Device* key = DeviceAt(hub, 2);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->descriptor.idVendor, 0x096E);
  EXPECT_EQ(key->descriptor.idProduct, 0x0201);
  EXPECT_FALSE(key->lowSpeed);
  EXPECT_EQ(key->deviceAddress, 5);
  EXPECT_EQ(key->driverKey, "1-3.2");
  EXPECT_EQ(key->friendlyName, "USB Key");

  const model::Device* keyboard = DeviceAt(hub, 4);
  ASSERT_NE(keyboard, nullptr);
  EXPECT_TRUE(keyboard->lowSpeed);
  EXPECT_EQ(keyboard->descriptor.idVendor, 0x413C);
  EXPECT_EQ(keyboard->deviceAddress, 6);
  EXPECT_EQ(keyboard->driverKey, "1-3.4");
}

TEST(SysfsScanner, HardwareDatabaseNamesGoBeforeProductStrings) {
  const SysfsTree tree("desktop.json");
  const std::map<std::string, std::string> database = {
      {"usb:v096Ep0201*", "Protection key"},
      {"pci:v00008086d0000A36Dsv00001028sd0000085Cbc0Csc03i30",
       "Cannon Lake PCH USB 3.1 xHCI Host Controller"},
  };
  SysfsScanOptions options;
  options.modelNames = [&](const std::string& key) -> std::optional<std::string> {
    const auto found = database.find(key);
    if (found == database.end()) return std::nullopt;
    return found->second;
  };
  const model::UsbModel model = ScanSysfs(tree.Root(), options);
  ASSERT_EQ(model.controllers.size(), 3u);
  EXPECT_EQ(model.controllers[0].friendlyName, "Cannon Lake PCH USB 3.1 xHCI Host Controller");
  EXPECT_EQ(model.controllers[1].friendlyName, "Cannon Lake PCH USB 3.1 xHCI Host Controller");
  EXPECT_EQ(model.controllers[2].friendlyName, "USB/IP Virtual Host Controller");
  const model::Hub& hub = *DeviceAt(*model.controllers[0].rootHub, 3)->hub;
  EXPECT_EQ(DeviceAt(hub, 2)->friendlyName, "Protection key");
  EXPECT_EQ(DeviceAt(hub, 4)->friendlyName, "Dell KB216 Wired Keyboard");
}

TEST(SysfsScanner, HubUnpluggedWhileTheScanRunsIsLeftOut) {
  const SysfsTree tree("desktop.json");
  SysfsScanOptions options;
  // The receiver on port 1 is read before port 3: the hub goes while the scan is under way.
  options.modelNames = [&](const std::string& key) -> std::optional<std::string> {
    if (key == "usb:v046DpC52B*")
      fs::remove_all(tree.Path("devices/pci0000:00/0000:00:14.0/usb1/1-3"));
    return std::nullopt;
  };
  const model::UsbModel model = ScanSysfs(tree.Root(), options);
  ASSERT_EQ(model.controllers.size(), 3u);
  EXPECT_EQ(OccupiedPorts(*model.controllers[0].rootHub), (std::vector<int>{1}));
  EXPECT_EQ(OccupiedPorts(*model.controllers[2].rootHub), (std::vector<int>{1}));
}

TEST(SysfsScanner, VanishedAndMalformedDevicesAreSkippedOrDefaulted) {
  const SysfsTree tree("vanishing.json");
  const model::UsbModel model = ScanSysfs(tree.Root(), {});

  // usb3 loops onto itself and usbX is no root hub: usb1 and usb4 remain.
  ASSERT_EQ(model.controllers.size(), 2u);
  const model::Hub& usb1 = *model.controllers[0].rootHub;
  EXPECT_EQ(model.controllers[0].driverKey, "0000:00:1d.0");
  // 1-1 dangles, 1-2 has lost its descriptors.
  EXPECT_EQ(OccupiedPorts(usb1), (std::vector<int>{3, 4, 5, 6}));

  const model::Device* garbage = DeviceAt(usb1, 3);
  ASSERT_NE(garbage, nullptr);
  EXPECT_EQ(garbage->descriptor.idVendor, 0x1234);
  EXPECT_EQ(garbage->descriptor.idProduct, 0x5678);
  EXPECT_EQ(garbage->deviceAddress, 0);
  EXPECT_EQ(garbage->currentConfigurationValue, 0);
  EXPECT_FALSE(garbage->lowSpeed);
  EXPECT_EQ(garbage->friendlyName, std::nullopt);

  const model::Device* cutShort = DeviceAt(usb1, 4);
  ASSERT_NE(cutShort, nullptr);
  EXPECT_EQ(cutShort->descriptor.idVendor, 0xABCD);
  EXPECT_EQ(cutShort->descriptor.idProduct, 0xEF01);
  EXPECT_EQ(cutShort->descriptor.bcdDevice, 0x0102);
  EXPECT_EQ(cutShort->descriptor.bcdUSB, 0x0110);
  EXPECT_EQ(cutShort->descriptor.bDeviceClass, 0xFF);
  EXPECT_EQ(cutShort->descriptor.bDeviceSubClass, 0);
  EXPECT_EQ(cutShort->descriptor.bMaxPacketSize0, 64);
  EXPECT_EQ(cutShort->descriptor.bNumConfigurations, 2);
  EXPECT_EQ(cutShort->deviceAddress, 0);
  EXPECT_EQ(cutShort->currentConfigurationValue, 0);
  EXPECT_EQ(cutShort->friendlyName, "Key\xEF\xBF\xBD!");

  const model::Device* hubDevice = DeviceAt(usb1, 5);
  ASSERT_NE(hubDevice, nullptr);
  ASSERT_TRUE(hubDevice->hub);
  EXPECT_EQ(hubDevice->hub->name, "1-5");
  EXPECT_EQ(hubDevice->hub->descriptor.bNumberOfPorts, 0);
  EXPECT_TRUE(hubDevice->hub->ports.empty());
  EXPECT_FALSE(hubDevice->hub->busPowered);

  const model::Device* absolute = DeviceAt(usb1, 6);
  ASSERT_NE(absolute, nullptr);
  EXPECT_EQ(absolute->descriptor.idProduct, 0x0006);
  EXPECT_EQ(absolute->deviceAddress, 9);

  const model::Controller& bare = model.controllers[1];
  EXPECT_EQ(bare.driverKey, "dummy_hcd.0");
  EXPECT_EQ(bare.friendlyName, std::nullopt);
  ASSERT_TRUE(bare.rootHub);
  EXPECT_EQ(bare.rootHub->name, "usb4");
  EXPECT_EQ(bare.rootHub->descriptor.bNumberOfPorts, 0);
}

TEST(SysfsScanner, RootThatIsNoSysfsUsbTreeIsRefusedByName) {
  const SysfsTree tree;
  const std::string missing = tree.Root() + "/missing";
  EXPECT_NE(ScanError(missing).find(missing), std::string::npos) << ScanError(missing);

  std::ofstream(tree.Path("file")) << "x";
  const std::string file = tree.Root() + "/file";
  EXPECT_NE(ScanError(file).find(file), std::string::npos) << ScanError(file);

  fs::create_directories(tree.Path("devices/system"));
  const std::string noUsb = ScanError(tree.Root());
  EXPECT_NE(noUsb.find(tree.Root()), std::string::npos) << noUsb;
  EXPECT_NE(noUsb.find("bus/usb/devices"), std::string::npos) << noUsb;

  // A machine without USB controllers is no error: it has none to show.
  fs::create_directories(tree.Path("bus/usb/devices"));
  EXPECT_TRUE(ScanSysfs(tree.Root(), {}).controllers.empty());
}

}  // namespace
}  // namespace keldar

#endif
