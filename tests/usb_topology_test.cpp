#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "support/fake_platform.h"
#include "usb/topology.h"

namespace keldar {
namespace {

using namespace std::literals;
using fake::Handle;

const HANDLE kController = Handle(1);
const HANDLE kRootHub = Handle(2);
const HANDLE kHub = Handle(5);

constexpr const char* kDriverKey = "{36FC9E60-C465-11CF-8056-444553540000}\\0004";  // 43 chars

class TopologyObjects : public ::testing::Test {
 protected:
  // The platform outlives the store, which closes its hub handles through it.
  fake::FakePlatform platform;
  DetectionStore store;
  UsbContext context{platform, store};

  // Controller 1 whose root hub "ROOT" opens as handle 2 and has `ports` ports.
  void ScriptRootHub(std::uint8_t ports) {
    platform.names[{kController, IOCTL_USB_GET_ROOT_HUB_NAME, 0}] = fake::Name(u"ROOT");
    platform.files["\\\\.\\ROOT"] = kRootHub;
    platform.hubs[kRootHub] = fake::HubInformation(ports);
  }

  // GENERIC_WRITE, FILE_SHARE_WRITE, no security attributes, OPEN_EXISTING, no flags or template.
  static void ExpectOpenedLikeADevice(const fake::CreateFileCall& c) {
    EXPECT_EQ(std::tuple(c.desiredAccess, c.shareMode, c.securityAttributes,
                         c.creationDisposition, c.flagsAndAttributes, c.templateFile),
              std::tuple(DWORD{0x40000000}, DWORD{2}, nullptr, DWORD{3}, DWORD{0}, nullptr));
  }

  static void ExpectRecordBothWays(const fake::IoctlCall& c, DWORD size) {
    EXPECT_EQ(std::tuple(c.inputIsOutput, c.inSize, c.outSize, c.bytesReturnedGiven,
                         c.overlappedGiven),
              std::tuple(true, size, size, true, false));
  }
};

// ---- PCHost ----

TEST_F(TopologyObjects, ControllerSearchTriesEveryHcdLinkAndClosesOnlyWhatItOpened) {
  platform.files = {{"\\\\.\\HCD1", Handle(2)}, {"\\\\.\\HCD2", Handle(3)},
                    {"\\\\.\\HCD9", Handle(10)}, {"\\\\.\\HCD10", Handle(11)}};
  auto host = std::make_unique<PCHost>(platform);

  EXPECT_EQ(host->GetControllerCount(), 3);
  ASSERT_EQ(platform.createFiles.size(), 10u);
  EXPECT_EQ(platform.createFiles[0].path, "\\\\.\\HCD0");
  EXPECT_EQ(platform.createFiles[9].path, "\\\\.\\HCD9");
  for (const fake::CreateFileCall& call : platform.createFiles) ExpectOpenedLikeADevice(call);
  EXPECT_EQ(host->GetControllerHandle(0), Handle(2));
  EXPECT_EQ(host->GetControllerHandle(2), Handle(10));
  // Outside 0..count-1, null rather than a failed open's INVALID_HANDLE_VALUE.
  EXPECT_EQ(host->GetControllerHandle(3), nullptr);
  EXPECT_EQ(host->GetControllerHandle(-1), nullptr);
  EXPECT_TRUE(platform.closed.empty());

  host.reset();
  EXPECT_EQ(platform.closed, (std::vector<HANDLE>{Handle(2), Handle(3), Handle(10)}));
}

// ---- HCDevice ----

TEST_F(TopologyObjects, RootHubIsNamedOpenedAndQueriedAndReopenedKeepsTheLastAnswer) {
  ScriptRootHub(4);
  auto controller = std::make_unique<HCDevice>(context, kController);

  EXPECT_EQ(controller->GetPortCount(), 4);
  EXPECT_EQ(controller->GetRootHubHandle(), kRootHub);
  // Root hub name probe and fetch, its conversion, the opening, the node information.
  const std::vector<std::string> expected = {
      "DeviceIoControl h1 0x220408", "DeviceIoControl h1 0x220408", "WideCharToMultiByte 4 0",
      "WideCharToMultiByte 4 4",     "CreateFileA \\\\.\\ROOT",     "DeviceIoControl h2 0x220408"};
  EXPECT_EQ(platform.log, expected);
  // The root hub name query sends no input.
  EXPECT_FALSE(platform.ioctls[0].hasInput);
  EXPECT_EQ(platform.ioctls[0].outSize, 6u);
  EXPECT_FALSE(platform.ioctls[1].hasInput);
  EXPECT_EQ(platform.ioctls[1].outSize, 14u);
  ExpectOpenedLikeADevice(platform.createFiles[0]);
  ExpectRecordBothWays(platform.ioctls[2], 76);

  // Opened again: the newer handle, and a failed query keeps the last port count.
  platform.files["\\\\.\\ROOT"] = Handle(4);
  platform.hubs[Handle(4)] = fake::HubInformation(6);
  const USB_NODE_INFORMATION* record = controller->OpenRootHub();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(controller->GetPortCount(), 6);
  platform.files["\\\\.\\ROOT"] = Handle(3);  // a hub that does not answer
  EXPECT_EQ(controller->OpenRootHub(), nullptr);
  EXPECT_EQ(controller->GetPortCount(), 6);
  EXPECT_EQ(controller->GetRootHubHandle(), Handle(3));

  // Records belong to the detection, and the root hub handles stay open until the walk ends;
  // the controller handle is not the walk's to close.
  controller.reset();
  EXPECT_EQ(record->HubInformation.HubDescriptor.bNumberOfPorts, 6);
  EXPECT_EQ(record->HubInformation.HubDescriptor.bDescriptorType, 0x29);
  EXPECT_TRUE(platform.closed.empty());
  EXPECT_EQ(store.OpenHubHandleCount(), 3u);
  store.CloseHubHandles();
  EXPECT_EQ(platform.closed, (std::vector<HANDLE>{kRootHub, Handle(4), Handle(3)}));
}

TEST_F(TopologyObjects, RootHubNamesAndPaths) {
  HCDevice controller(context, kController);  // no root hub: its name probe fails
  platform.names[{kController, IOCTL_USB_GET_ROOT_HUB_NAME, 0}] = fake::Name(u"R");
  AnsiText shortPath = controller.RootHubPath();
  EXPECT_EQ(shortPath.view(), "\\\\.\\R");
  EXPECT_EQ(shortPath.view().size(), 5u);

  platform.names[{kController, IOCTL_USB_GET_ROOT_HUB_NAME, 0}] =
      fake::Name(u"USB#ROOT_HUB20#4&2b8c7a1&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
  EXPECT_EQ(controller.RootHubPath().view(),
            "\\\\.\\USB#ROOT_HUB20#4&2b8c7a1&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");

  platform.names.clear();
  EXPECT_FALSE(controller.RootHubPath());
}

TEST_F(TopologyObjects, ControllerDriverKeySendsItsBufferBothWays) {
  HCDevice controller(context, kController);
  platform.ioctls.clear();
  platform.names[{kController, IOCTL_GET_HCD_DRIVERKEY_NAME, 0}] =
      fake::Name(u"{36FC9E60-C465-11CF-8056-444553540000}\\0004");

  EXPECT_EQ(controller.QueryDriverKey().view(), kDriverKey);
  ASSERT_EQ(platform.ioctls.size(), 2u);
  EXPECT_EQ(platform.ioctls[0].device, kController);
  EXPECT_EQ(platform.ioctls[0].code, 0x220424u);
  ExpectRecordBothWays(platform.ioctls[0], 6);
  ExpectRecordBothWays(platform.ioctls[1], 4 + 88);
}

// ---- Port ----

TEST_F(TopologyObjects, PortWithADeviceReadsItsRecordAndOpensNothing) {
  platform.connections[{kRootHub, 3}] = fake::Connection(0x096E, 0x0006);
  auto port = std::make_unique<Port>(context, kRootHub, 3);

  ASSERT_EQ(platform.ioctls.size(), 1u);
  const fake::IoctlCall& query = platform.ioctls[0];
  EXPECT_EQ(query.device, kRootHub);
  EXPECT_EQ(query.code, 0x22040Cu);
  ExpectRecordBothWays(query, 365);
  // The port number, and nothing else, is written before the query.
  EXPECT_EQ(query.InputWord(0), 3u);
  for (std::size_t i = 4; i < query.input.size(); ++i) ASSERT_EQ(query.input[i], 0) << i;

  const USB_NODE_CONNECTION_INFORMATION* record = port->GetConnectionInfo();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(port->GetConnectionIndex(), 3);
  EXPECT_EQ(port->GetHubHandle(), nullptr);
  EXPECT_EQ(port->GetHubPortCount(), 0);
  EXPECT_TRUE(platform.createFiles.empty());
  EXPECT_EQ(store.RecordCount(), 1u);

  port.reset();
  EXPECT_EQ(record->DeviceDescriptor.idVendor, 0x096E);
  EXPECT_EQ(record->DeviceDescriptor.idProduct, 0x0006);
  EXPECT_EQ(record->ConnectionIndex, 3u);
}

TEST_F(TopologyObjects, PortWithAHubOpensAndQueriesIt) {
  platform.connections[{kRootHub, 2}] = fake::Connection(0x05E3, 0x0608, true);
  platform.names[{kRootHub, IOCTL_USB_GET_NODE_CONNECTION_NAME, 2}] = fake::Name(u"HUB7");
  platform.files["\\\\.\\HUB7"] = kHub;
  platform.hubs[kHub] = fake::HubInformation(7);

  auto port = std::make_unique<Port>(context, kRootHub, 2);

  EXPECT_EQ(port->GetHubPortCount(), 7);
  EXPECT_EQ(port->GetHubHandle(), kHub);
  const std::vector<std::string> expected = {
      "DeviceIoControl h2 0x22040C", "DeviceIoControl h2 0x220414", "DeviceIoControl h2 0x220414",
      "WideCharToMultiByte 4 0",     "WideCharToMultiByte 4 4",     "CreateFileA \\\\.\\HUB7",
      "DeviceIoControl h5 0x220408"};
  EXPECT_EQ(platform.log, expected);
  ExpectRecordBothWays(platform.ioctls[1], 10);
  EXPECT_EQ(platform.ioctls[1].InputWord(0), 2u);
  ExpectRecordBothWays(platform.ioctls[2], 8 + 10);
  EXPECT_EQ(platform.ioctls[2].InputWord(0), 2u);
  ExpectOpenedLikeADevice(platform.createFiles[0]);
  ExpectRecordBothWays(platform.ioctls[3], 76);

  // Opened again: a newer handle each time, and a failed query keeps the last port count.
  platform.files["\\\\.\\HUB7"] = Handle(8);
  platform.hubs[Handle(8)] = fake::HubInformation(9);
  const USB_NODE_INFORMATION* record = port->OpenHub();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(port->GetHubPortCount(), 9);
  platform.files["\\\\.\\HUB7"] = Handle(6);
  EXPECT_EQ(port->OpenHub(), nullptr);
  EXPECT_EQ(port->GetHubPortCount(), 9);
  EXPECT_EQ(port->GetHubHandle(), Handle(6));

  port.reset();
  EXPECT_EQ(record->HubInformation.HubDescriptor.bNumberOfPorts, 9);
  // Each open's handle stays with the walk until it ends.
  EXPECT_TRUE(platform.closed.empty());
  store.CloseHubHandles();
  EXPECT_EQ(platform.closed, (std::vector<HANDLE>{kHub, Handle(8), Handle(6)}));
}

TEST_F(TopologyObjects, HubNameUsesThePortNumberTheHubEchoedAndDriverKeyThePortsOwn) {
  platform.onDeviceIoControl = [](const fake::IoctlCall& call, void* out,
                                  DWORD) -> std::optional<BOOL> {
    if (call.code != IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) return std::nullopt;
    USB_NODE_CONNECTION_INFORMATION reply = fake::Connection(0x05E3, 0x0608, true);
    reply.ConnectionIndex = 5;
    std::memcpy(out, &reply, sizeof reply);
    return TRUE;
  };
  platform.names[{kRootHub, IOCTL_USB_GET_NODE_CONNECTION_NAME, 5}] = fake::Name(u"HUB5");
  platform.names[{kRootHub, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, 2}] =
      fake::Name(u"{36FC9E60-C465-11CF-8056-444553540000}\\0004");
  Port port(context, kRootHub, 2);

  EXPECT_EQ(port.QueryHubName().view(), "HUB5");
  EXPECT_EQ(platform.ioctls.back().InputWord(0), 5u);
  EXPECT_EQ(port.HubPath().view(), "\\\\.\\HUB5");

  platform.ioctls.clear();
  EXPECT_EQ(port.QueryDriverKey().view(), kDriverKey);
  ASSERT_EQ(platform.ioctls.size(), 2u);
  EXPECT_EQ(platform.ioctls[0].code, 0x220420u);
  ExpectRecordBothWays(platform.ioctls[0], 10);
  EXPECT_EQ(platform.ioctls[0].InputWord(0), 2u);
  ExpectRecordBothWays(platform.ioctls[1], 8 + 88);
  EXPECT_EQ(platform.ioctls[1].InputWord(0), 2u);
}

TEST_F(TopologyObjects, FailedConnectionQueryLeavesAnEmptyPortWithoutAHubName) {
  Port port(context, kRootHub, 4);

  EXPECT_EQ(port.GetConnectionInfo(), nullptr);
  EXPECT_EQ(port.GetConnectionIndex(), 4);
  EXPECT_EQ(port.GetHubHandle(), nullptr);
  EXPECT_EQ(port.GetHubPortCount(), 0);
  EXPECT_EQ(platform.ioctls.size(), 1u);
  // Without a record there is no port number the hub confirmed to ask its name by.
  EXPECT_FALSE(port.QueryHubName());
  EXPECT_EQ(platform.ioctls.size(), 1u);
}

}  // namespace
}  // namespace keldar
