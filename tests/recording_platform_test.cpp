// The recorder between the device tree and a ModelPlatform: a full detection is walked through
// it, and the model it records must be the one the platform answered from, as far as a walk
// can see it.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/model/model_platform.h"
#include "platform/model/recording_platform.h"
#include "ui/memory_views.h"
#include "usb/device_tree.h"

namespace keldar {
namespace {

// UTF-8 as the model holds it; u8 literals escape the GBK execution character set.
std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

const std::string kUsbClass = "{36fc9e60-c465-11cf-8056-444553540000}\\";
// 64 bytes, longer than any of the driver keys, so that reading it needs a second buffer.
const std::string kLongName = "Kingston DataTraveler 3.0 USB Device - Mass Storage Class Volume";

std::unique_ptr<model::Device> NewDevice(std::uint16_t vendor, std::uint16_t product,
                                         std::uint16_t address,
                                         std::optional<std::string> driverKey,
                                         std::optional<std::string> friendlyName) {
  auto device = std::make_unique<model::Device>();
  device->descriptor.idVendor = vendor;
  device->descriptor.idProduct = product;
  device->deviceAddress = address;
  device->currentConfigurationValue = 1;
  device->driverKey = std::move(driverKey);
  device->friendlyName = std::move(friendlyName);
  return device;
}

model::Port NewPort(int number, std::unique_ptr<model::Device> device = nullptr) {
  model::Port port;
  port.port = number;
  port.device = std::move(device);
  return port;
}

// An office PC on a Chinese Windows: a USB 3 controller with a keyboard, a hub carrying a key
// and a device that failed enumeration, a port whose hub stops answering, a stick whose
// friendly name cannot be read; a controller whose root hub fails its node information, one
// whose root hub cannot be opened; a network card that is not on USB.
model::UsbModel Office() {
  model::UsbModel model;
  model.computerName = U8(u8"财务部-PC");

  model::Controller& xhci = model.controllers.emplace_back();
  xhci.driverKey = kUsbClass + "0000";
  xhci.friendlyName = U8(u8"Intel(R) USB 3.0 可扩展主机控制器 - 1.0 (Microsoft)");
  xhci.rootHub = std::make_unique<model::Hub>();
  xhci.rootHub->name = "USB#ROOT_HUB30#4&2d3a1c8&0&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
  xhci.rootHub->descriptor = {9, 0x29, 4, 0x0009, 10, 0};

  auto keyboard = NewDevice(0x413C, 0x2113, 1, kUsbClass + "0001", std::nullopt);
  keyboard->descriptor.bcdUSB = 0x0110;
  keyboard->descriptor.bMaxPacketSize0 = 8;
  keyboard->descriptor.bcdDevice = 0x0108;
  keyboard->descriptor.iManufacturer = 1;
  keyboard->descriptor.iProduct = 2;
  keyboard->lowSpeed = true;
  xhci.rootHub->ports.push_back(NewPort(1, std::move(keyboard)));

  auto hubDevice = NewDevice(0x05E3, 0x0610, 2, kUsbClass + "0002", "Generic USB Hub");
  hubDevice->descriptor.bDeviceClass = 9;
  hubDevice->hub = std::make_unique<model::Hub>();
  model::Hub& hub = *hubDevice->hub;
  hub.name = "USB#VID_05E3&PID_0610#5&1f0e2a&0&2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
  hub.descriptor = {9, 0x29, 4, 0x00E0, 50, 100};
  hub.busPowered = true;
  hub.ports.push_back(NewPort(1, NewDevice(0x096E, 0x0201, 3, kUsbClass + "0003",
                                           U8(u8"USB 加密锁"))));
  model::Port failed = NewPort(3, NewDevice(0, 0, 0, std::nullopt, std::nullopt));
  failed.connectionStatus = 2;  // DeviceFailedEnumeration
  hub.ports.push_back(std::move(failed));
  hub.ports.push_back(NewPort(4));
  model::Port hubPort = NewPort(2, std::move(hubDevice));
  hubPort.connectionStatus = 1;
  xhci.rootHub->ports.push_back(std::move(hubPort));

  model::Port silent = NewPort(3);
  silent.faults.connectionInfoFails = true;
  xhci.rootHub->ports.push_back(std::move(silent));
  auto stick = NewDevice(0x0951, 0x1666, 4, kUsbClass + "0004", kLongName);
  stick->databaseFaults.friendlyNameReadFails = true;
  xhci.rootHub->ports.push_back(NewPort(4, std::move(stick)));

  model::Controller& ehci = model.controllers.emplace_back();
  ehci.driverKey = kUsbClass + "0005";
  ehci.rootHub = std::make_unique<model::Hub>();
  ehci.rootHub->name = "USB#ROOT_HUB20#4&11aa&0";
  ehci.rootHub->faults.nodeInfoFails = true;

  model::Controller& ohci = model.controllers.emplace_back();
  ohci.driverKey = kUsbClass + "0006";
  ohci.friendlyName = "Standard OpenHCD USB Host Controller";
  ohci.rootHub = std::make_unique<model::Hub>();
  ohci.rootHub->name = "USB#ROOT_HUB#4&22bb&0";
  ohci.rootHub->faults.openFails = true;

  model.otherDevices.push_back({"{4d36e972-e325-11ce-bfc1-08002be10318}\\0001",
                                "Realtek PCIe GbE Family Controller", {}});
  return model;
}

void DropWhatAWalkCannotSee(model::Hub& hub) {
  std::vector<model::Port> kept;
  for (model::Port& port : hub.ports) {
    if (!port.device && !port.faults.connectionInfoFails) continue;
    if (port.device && port.connectionStatus == 1u) port.connectionStatus.reset();
    if (port.device && port.device->hub) DropWhatAWalkCannotSee(*port.device->hub);
    kept.push_back(std::move(port));
  }
  hub.ports = std::move(kept);
}

// The model as a recording can show it (recording_platform.h): empty ports unlisted, a status
// of 1 implicit, no database entries that are not on USB.
model::UsbModel WhatARecordingSees(const model::UsbModel& original) {
  model::UsbModel model = model::Clone(original);
  model.otherDevices.clear();
  for (model::Controller& controller : model.controllers)
    if (controller.rootHub) DropWhatAWalkCannotSee(*controller.rootHub);
  return model;
}

// The tree a detection shows, one line per item, indented by depth.
std::vector<std::string> Detect(Platform& platform) {
  MemoryTreeView view;
  DeviceTree tree(platform, view, nullptr);
  tree.BuildDeviceTree();
  std::vector<std::string> lines;
  for (TreeItem item : view.PreOrder())
    lines.push_back(std::string(2 * view.Depth(item), ' ') + view.Find(item)->text);
  return lines;
}

TEST(RecordingPlatform, FullWalkRecordsTheModelItWasAnsweredFrom) {
  const model::UsbModel original = Office();
  ModelPlatform direct(original);
  const std::vector<std::string> shown = Detect(direct);

  ModelPlatform inner(original);
  RecordingPlatform recorder(inner, 936);
  // Passing through the recorder changes nothing the caller sees.
  EXPECT_EQ(Detect(recorder), shown);

  const model::UsbModel recorded = recorder.RecordedModel();
  model::UsbModel expected = WhatARecordingSees(original);
  // The unreadable name is stood in for by one "?" per byte.
  expected.controllers[0].rootHub->ports[3].device->friendlyName = std::string(64, '?');
  EXPECT_TRUE(recorded == expected);

  // Texts decoded from code page 936 and from the hub driver's UTF-16.
  EXPECT_EQ(recorded.computerName, U8(u8"财务部-PC"));
  ASSERT_EQ(recorded.controllers.size(), 3u);
  EXPECT_EQ(recorded.controllers[0].friendlyName,
            U8(u8"Intel(R) USB 3.0 可扩展主机控制器 - 1.0 (Microsoft)"));
  const model::Device& key = *recorded.controllers[0].rootHub->ports[1].device->hub->ports[0].device;
  EXPECT_EQ(key.descriptor.idVendor, 0x096E);
  EXPECT_EQ(key.descriptor.idProduct, 0x0201);
  EXPECT_EQ(key.driverKey, kUsbClass + "0003");
  EXPECT_EQ(key.friendlyName, U8(u8"USB 加密锁"));
  EXPECT_TRUE(recorded.controllers[1].rootHub->faults.nodeInfoFails);

  // Replaying the recording shows the same tree.
  ModelPlatform replay(recorded);
  EXPECT_EQ(Detect(replay), shown);
}

TEST(RecordingPlatform, FailedDeviceSetAndComputerNameAreRecorded) {
  model::UsbModel original = Office();
  original.deviceSetFails = true;
  ModelPlatform inner(original);
  RecordingPlatform recorder(inner, 936);
  Detect(recorder);
  model::UsbModel recorded = recorder.RecordedModel();
  EXPECT_TRUE(recorded.deviceSetFails);
  ASSERT_EQ(recorded.controllers.size(), 3u);
  // Without a device set no friendly name is ever read.
  EXPECT_EQ(recorded.controllers[0].friendlyName, std::nullopt);
  EXPECT_EQ(recorded.controllers[0].driverKey, kUsbClass + "0000");

  original.computerName.reset();
  ModelPlatform nameless(original);
  RecordingPlatform nameRecorder(nameless, 936);
  MemoryTreeView view;
  DeviceTree tree(nameRecorder, view, nullptr);
  tree.SetComputerNameFailure([](DWORD) {});
  tree.BuildDeviceTree();
  EXPECT_EQ(nameRecorder.RecordedModel().computerName, std::nullopt);
  EXPECT_TRUE(nameRecorder.RecordedModel().controllers.empty());
}

}  // namespace
}  // namespace keldar
