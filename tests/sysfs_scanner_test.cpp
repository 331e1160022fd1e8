// The sysfs scanner against fake trees shaped like a kernel's (tests/data/sysfs/*.json, built
// in a temporary folder at test time). Sysfs names carry colons, which Windows file names
// cannot, so these run on Linux only.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/linux/sysfs_scanner.h"
#include "support/sysfs_tree.h"

namespace keldar {
namespace {

namespace fs = std::filesystem;
using Descriptor = model::DeviceDescriptor;
using HubDescriptor = model::HubDescriptor;

const model::Device& DeviceAt(const model::Hub& hub, int number) {
  for (const auto& port : hub.ports)
    if (port.port == number && port.device) return *port.device;
  throw std::logic_error("no device on port " + std::to_string(number));
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

class SysfsScannerDesktop : public ::testing::Test {
 protected:
  model::UsbModel Scan(const SysfsScanOptions& options = {}) {
    model::UsbModel model = ScanSysfs(tree_.Root(), options);
    if (model.controllers.size() != 3) throw std::logic_error("expected three controllers");
    for (const model::Controller& controller : model.controllers)
      if (!controller.rootHub) throw std::logic_error("a controller without its root hub");
    return model;
  }
  const testing::SysfsTree tree_{"desktop.json"};
};

TEST_F(SysfsScannerDesktop, ControllersFollowBusOrderWithTheirRootHubsAndDevices) {
  const model::UsbModel model = Scan();
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(model.computerName, std::string(host));
  EXPECT_EQ(model.ansiCodePage, 936u);
  EXPECT_TRUE(model.otherDevices.empty());

  const model::Controller& xhci = model.controllers[0];
  EXPECT_EQ(xhci.driverKey, "0000:00:14.0");
  EXPECT_EQ(xhci.friendlyName, "xHCI Host Controller");
  EXPECT_EQ(xhci.rootHub->name, "usb1");
  EXPECT_EQ(xhci.rootHub->descriptor, (HubDescriptor{0, 0x29, 12, 0, 0, 0}));
  EXPECT_FALSE(xhci.rootHub->busPowered);
  EXPECT_EQ(OccupiedPorts(*xhci.rootHub), (std::vector<int>{1, 3}));
  const model::Controller& superSpeed = model.controllers[1];
  EXPECT_EQ(superSpeed.driverKey, "0000:00:14.0");
  EXPECT_EQ(superSpeed.rootHub->name, "usb2");
  EXPECT_EQ(superSpeed.rootHub->descriptor, (HubDescriptor{0, 0x2A, 2, 0, 0, 0}));
  EXPECT_TRUE(superSpeed.rootHub->ports.empty());
  const model::Controller& virtualHost = model.controllers[2];
  EXPECT_EQ(virtualHost.driverKey, "vhci_hcd.0");
  EXPECT_EQ(virtualHost.friendlyName, "USB/IP Virtual Host Controller");
  EXPECT_EQ(virtualHost.rootHub->name, "usb10");
  EXPECT_EQ(virtualHost.rootHub->descriptor.bNumberOfPorts, 8);
  EXPECT_EQ(OccupiedPorts(*virtualHost.rootHub), (std::vector<int>{1}));

  const model::Device& receiver = DeviceAt(*xhci.rootHub, 1);
  EXPECT_EQ(receiver.descriptor,
            (Descriptor{18, 1, 0x0200, 0, 0, 0, 8, 0x046D, 0xC52B, 0x1211, 1, 2, 0, 1}));
  EXPECT_FALSE(receiver.lowSpeed);
  EXPECT_EQ(receiver.deviceAddress, 2);
  EXPECT_EQ(receiver.currentConfigurationValue, 1);
  EXPECT_EQ(receiver.driverKey, "1-1");
  EXPECT_EQ(receiver.friendlyName, "USB Receiver");
  EXPECT_FALSE(receiver.hub);

  const model::Device& hubDevice = DeviceAt(*xhci.rootHub, 3);
  EXPECT_EQ(hubDevice.descriptor.bDeviceClass, 9);
  EXPECT_EQ(hubDevice.driverKey, "1-3");
  ASSERT_TRUE(hubDevice.hub);
  const model::Hub& hub = *hubDevice.hub;
  EXPECT_EQ(hub.name, "1-3");
  EXPECT_EQ(hub.descriptor, (HubDescriptor{0, 0x29, 4, 0, 0, 0}));
  EXPECT_TRUE(hub.busPowered);
  EXPECT_EQ(OccupiedPorts(hub), (std::vector<int>{2, 4}));

  const model::Device& key = DeviceAt(hub, 2);
  EXPECT_EQ(key.descriptor,
            (Descriptor{18, 1, 0x0110, 0, 0, 0, 8, 0x096E, 0x0201, 0x0100, 1, 2, 0, 1}));
  EXPECT_FALSE(key.lowSpeed);
  EXPECT_EQ(key.deviceAddress, 5);
  EXPECT_EQ(key.driverKey, "1-3.2");
  EXPECT_EQ(key.friendlyName, "USB Key");
  const model::Device& keyboard = DeviceAt(hub, 4);
  EXPECT_EQ(keyboard.descriptor,
            (Descriptor{18, 1, 0x0110, 0, 0, 0, 8, 0x413C, 0x2113, 0x0108, 1, 2, 0, 1}));
  EXPECT_TRUE(keyboard.lowSpeed);
  EXPECT_EQ(keyboard.deviceAddress, 6);
  EXPECT_EQ(keyboard.driverKey, "1-3.4");
}

TEST_F(SysfsScannerDesktop, HardwareDatabaseNamesGoBeforeProductStrings) {
  const std::map<std::string, std::string> database = {
      {"usb:v096Ep0201*", "Protection key"},
      {"pci:v00008086d0000A36Dsv00001028sd0000085Cbc0Csc03i30", "Cannon Lake xHCI"},
  };
  SysfsScanOptions options;
  options.modelNames = [&](const std::string& key) -> std::optional<std::string> {
    const auto found = database.find(key);
    if (found == database.end()) return std::nullopt;
    return found->second;
  };
  const model::UsbModel model = Scan(options);
  EXPECT_EQ(model.controllers[0].friendlyName, "Cannon Lake xHCI");
  EXPECT_EQ(model.controllers[1].friendlyName, "Cannon Lake xHCI");
  EXPECT_EQ(model.controllers[2].friendlyName, "USB/IP Virtual Host Controller");
  const model::Hub& hub = *DeviceAt(*model.controllers[0].rootHub, 3).hub;
  EXPECT_EQ(DeviceAt(hub, 2).friendlyName, "Protection key");
  EXPECT_EQ(DeviceAt(hub, 4).friendlyName, "Dell KB216 Wired Keyboard");
}

TEST_F(SysfsScannerDesktop, HubUnpluggedWhileTheScanRunsIsLeftOut) {
  SysfsScanOptions options;
  // The receiver on port 1 is read before port 3: the hub goes while the scan is under way.
  options.modelNames = [&](const std::string& key) -> std::optional<std::string> {
    if (key == "usb:v046DpC52B*")
      fs::remove_all(tree_.Path("devices/pci0000:00/0000:00:14.0/usb1/1-3"));
    return std::nullopt;
  };
  const model::UsbModel model = Scan(options);
  EXPECT_EQ(OccupiedPorts(*model.controllers[0].rootHub), (std::vector<int>{1}));
  EXPECT_EQ(OccupiedPorts(*model.controllers[2].rootHub), (std::vector<int>{1}));
}

// A tree copied from Debian's kernel under QEMU (see the fixture's "about").
TEST(SysfsScanner, TreeFromARealKernelScansAsItsHardwareIs) {
  const testing::SysfsTree tree("qemu-office.json");
  const model::UsbModel model = ScanSysfs(tree.Root(), {});
  ASSERT_EQ(model.controllers.size(), 4u);
  for (const model::Controller& controller : model.controllers) ASSERT_TRUE(controller.rootHub);

  const model::Controller& usb2Side = model.controllers[0];
  EXPECT_EQ(usb2Side.driverKey, "0000:00:01.0");
  EXPECT_EQ(usb2Side.friendlyName, "xHCI Host Controller");
  EXPECT_EQ(usb2Side.rootHub->name, "usb1");
  EXPECT_EQ(usb2Side.rootHub->descriptor, (HubDescriptor{0, 0x29, 4, 0, 0, 0}));
  EXPECT_FALSE(usb2Side.rootHub->busPowered);
  EXPECT_EQ(OccupiedPorts(*usb2Side.rootHub), (std::vector<int>{1}));
  // The USB 3 root hub of the same controller: speed 5000, so a SuperSpeed hub descriptor.
  const model::Controller& usb3Side = model.controllers[1];
  EXPECT_EQ(usb3Side.driverKey, "0000:00:01.0");
  EXPECT_EQ(usb3Side.friendlyName, "xHCI Host Controller");
  EXPECT_EQ(usb3Side.rootHub->name, "usb2");
  EXPECT_EQ(usb3Side.rootHub->descriptor, (HubDescriptor{0, 0x2A, 4, 0, 0, 0}));
  EXPECT_TRUE(usb3Side.rootHub->ports.empty());
  const model::Controller& ehci = model.controllers[2];
  EXPECT_EQ(ehci.driverKey, "0000:00:02.0");
  EXPECT_EQ(ehci.friendlyName, "EHCI Host Controller");
  EXPECT_EQ(ehci.rootHub->name, "usb3");
  EXPECT_EQ(ehci.rootHub->descriptor, (HubDescriptor{0, 0x29, 6, 0, 0, 0}));
  EXPECT_EQ(OccupiedPorts(*ehci.rootHub), (std::vector<int>{1}));
  const model::Controller& dummy = model.controllers[3];
  EXPECT_EQ(dummy.driverKey, "dummy_hcd.0");
  EXPECT_EQ(dummy.friendlyName, "Dummy host controller");
  EXPECT_EQ(dummy.rootHub->name, "usb4");
  EXPECT_EQ(dummy.rootHub->descriptor, (HubDescriptor{0, 0x29, 1, 0, 0, 0}));
  EXPECT_EQ(OccupiedPorts(*dummy.rootHub), (std::vector<int>{1}));

  // QEMU's hub: full speed, self-powered, 8 ports.
  const model::Device& hubDevice = DeviceAt(*usb2Side.rootHub, 1);
  EXPECT_EQ(hubDevice.descriptor,
            (Descriptor{18, 1, 0x0110, 9, 0, 0, 8, 0x0409, 0x55AA, 0x0101, 1, 2, 3, 1}));
  EXPECT_EQ(hubDevice.deviceAddress, 2);
  EXPECT_EQ(hubDevice.driverKey, "1-1");
  EXPECT_EQ(hubDevice.friendlyName, "QEMU USB Hub");
  ASSERT_TRUE(hubDevice.hub);
  EXPECT_EQ(hubDevice.hub->name, "1-1");
  EXPECT_EQ(hubDevice.hub->descriptor, (HubDescriptor{0, 0x29, 8, 0, 0, 0}));
  EXPECT_FALSE(hubDevice.hub->busPowered);
  EXPECT_EQ(OccupiedPorts(*hubDevice.hub), (std::vector<int>{1, 2}));

  const model::Device& keyboard = DeviceAt(*hubDevice.hub, 1);
  EXPECT_EQ(keyboard.descriptor,
            (Descriptor{18, 1, 0x0200, 0, 0, 0, 8, 0x0627, 0x0001, 0x0000, 1, 4, 11, 1}));
  EXPECT_FALSE(keyboard.lowSpeed);
  EXPECT_EQ(keyboard.deviceAddress, 3);
  EXPECT_EQ(keyboard.currentConfigurationValue, 1);
  EXPECT_EQ(keyboard.driverKey, "1-1.1");
  EXPECT_EQ(keyboard.friendlyName, "QEMU USB Keyboard");
  const model::Device& storage = DeviceAt(*hubDevice.hub, 2);
  EXPECT_EQ(storage.descriptor,
            (Descriptor{18, 1, 0x0200, 0, 0, 0, 8, 0x46F4, 0x0001, 0x0000, 1, 2, 3, 1}));
  EXPECT_EQ(storage.deviceAddress, 4);
  EXPECT_EQ(storage.driverKey, "1-1.2");
  EXPECT_EQ(storage.friendlyName, "QEMU USB HARDDRIVE");

  const model::Device& tablet = DeviceAt(*ehci.rootHub, 1);
  EXPECT_EQ(tablet.descriptor,
            (Descriptor{18, 1, 0x0200, 0, 0, 0, 64, 0x0627, 0x0001, 0x0000, 1, 3, 10, 1}));
  EXPECT_EQ(tablet.deviceAddress, 2);
  EXPECT_EQ(tablet.driverKey, "3-1");
  EXPECT_EQ(tablet.friendlyName, "QEMU USB Tablet");

  const model::Device& key = DeviceAt(*dummy.rootHub, 1);
  EXPECT_EQ(key.descriptor,
            (Descriptor{18, 1, 0x0200, 0, 0, 0, 64, 0x096E, 0x0201, 0x0100, 1, 2, 3, 1}));
  EXPECT_FALSE(key.lowSpeed);
  EXPECT_EQ(key.deviceAddress, 2);
  EXPECT_EQ(key.currentConfigurationValue, 1);
  EXPECT_EQ(key.driverKey, "4-1");
  EXPECT_EQ(key.friendlyName, "USB Key");
  EXPECT_FALSE(key.hub);
}

TEST(SysfsScanner, VanishedAndMalformedDevicesAreSkippedOrDefaulted) {
  const testing::SysfsTree tree("vanishing.json");
  const model::UsbModel model = ScanSysfs(tree.Root(), {});
  // usb3 loops onto itself and usbX is no root hub: usb1 and usb4 remain.
  ASSERT_EQ(model.controllers.size(), 2u);
  ASSERT_TRUE(model.controllers[0].rootHub && model.controllers[1].rootHub);
  const model::Hub& usb1 = *model.controllers[0].rootHub;
  EXPECT_EQ(model.controllers[0].driverKey, "0000:00:1d.0");
  // 1-1 dangles, 1-2 has lost its descriptors.
  EXPECT_EQ(OccupiedPorts(usb1), (std::vector<int>{3, 4, 5, 6}));

  const model::Device& garbage = DeviceAt(usb1, 3);
  EXPECT_EQ(garbage.descriptor,
            (Descriptor{18, 1, 0x0200, 0, 0, 0, 64, 0x1234, 0x5678, 0x0100, 0, 0, 0, 1}));
  EXPECT_EQ(garbage.deviceAddress, 0);
  EXPECT_EQ(garbage.currentConfigurationValue, 0);
  EXPECT_FALSE(garbage.lowSpeed);
  EXPECT_EQ(garbage.friendlyName, std::nullopt);

  const model::Device& cutShort = DeviceAt(usb1, 4);
  const Descriptor& d = cutShort.descriptor;
  EXPECT_EQ(std::vector<int>({d.idVendor, d.idProduct, d.bcdDevice, d.bcdUSB, d.bDeviceClass,
                              d.bDeviceSubClass, d.bMaxPacketSize0, d.bNumConfigurations}),
            std::vector<int>({0xABCD, 0xEF01, 0x0102, 0x0110, 0xFF, 0, 64, 2}));
  EXPECT_EQ(cutShort.deviceAddress, 0);
  EXPECT_EQ(cutShort.currentConfigurationValue, 0);
  EXPECT_EQ(cutShort.friendlyName, "Key\xEF\xBF\xBD!");

  const model::Hub* hub = DeviceAt(usb1, 5).hub.get();
  ASSERT_TRUE(hub);
  EXPECT_EQ(hub->name, "1-5");
  EXPECT_EQ(hub->descriptor.bNumberOfPorts, 0);
  EXPECT_TRUE(hub->ports.empty());
  EXPECT_FALSE(hub->busPowered);

  EXPECT_EQ(DeviceAt(usb1, 6).descriptor.idProduct, 0x0006);
  EXPECT_EQ(DeviceAt(usb1, 6).deviceAddress, 9);

  const model::Controller& bare = model.controllers[1];
  EXPECT_EQ(bare.driverKey, "dummy_hcd.0");
  EXPECT_EQ(bare.friendlyName, std::nullopt);
  EXPECT_EQ(bare.rootHub->name, "usb4");
  EXPECT_EQ(bare.rootHub->descriptor.bNumberOfPorts, 0);
}

TEST(SysfsScanner, RootThatIsNoSysfsUsbTreeIsRefusedByName) {
  const testing::SysfsTree tree;
  std::ofstream(tree.Path("file")) << "x";
  for (const std::string& root : {tree.Root() + "/missing", tree.Root() + "/file"})
    EXPECT_NE(ScanError(root).find(root), std::string::npos) << ScanError(root);

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
