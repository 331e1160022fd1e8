// The topology objects on model machines: the controller search and what it closes, hubs
// asked once, and the port number a hub name is asked by.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "support/hooked_platform.h"
#include "usb/topology.h"

namespace keldar {
namespace {

// `count` controllers, each with a root hub "RH<n>" of two ports; port 1 of RH0 carries hub
// "HUB" of three ports.
model::UsbModel Controllers(int count) {
  model::UsbModel m;
  for (int n = 0; n < count; ++n) {
    model::Controller& controller = m.controllers.emplace_back();
    controller.driverKey = "HC" + std::to_string(n);
    controller.rootHub = std::make_unique<model::Hub>();
    controller.rootHub->name = "RH" + std::to_string(n);
    controller.rootHub->descriptor.bNumberOfPorts = 2;
  }
  model::Port& port = m.controllers[0].rootHub->ports.emplace_back();
  port.device = std::make_unique<model::Device>();
  port.device->hub = std::make_unique<model::Hub>();
  port.device->hub->name = "HUB";
  port.device->hub->descriptor.bNumberOfPorts = 3;
  return m;
}

// A controller that does not open is skipped, not the end of the search; the eleventh is
// reached through its device interface, and none is opened twice.
TEST(PCHost, ControllerSearchSkipsGapsFindsEveryControllerAndClosesWhatItOpened) {
  for (const auto& [controllers, failing, found] :
       {std::tuple(5, 3, 4), std::tuple(11, -1, 11), std::tuple(2, 0, 1)}) {
    model::UsbModel m = Controllers(controllers);
    if (failing >= 0) m.controllers[failing].faults.openFails = true;
    ModelPlatform platform(std::move(m));
    {
      DeviceRequests requests(platform);
      PCHost host(requests);
      EXPECT_EQ(host.GetControllerCount(), found) << controllers;
      EXPECT_EQ(platform.OpenHandleCount(), static_cast<std::size_t>(found));
      // Outside 0..count-1, null rather than the failed slot's INVALID_HANDLE_VALUE.
      EXPECT_EQ(host.GetControllerHandle(found), nullptr);
      EXPECT_EQ(host.GetControllerHandle(-1), nullptr);
      if (found > 0) {
        EXPECT_NE(host.GetControllerHandle(found - 1), nullptr);
      }
      host.OpenControllers();
      EXPECT_EQ(platform.OpenHandleCount(), static_cast<std::size_t>(found));
    }
    EXPECT_EQ(platform.OpenHandleCount(), 0u);
    // Only what was opened is closed: never the failed slot.
    const ModelPlatform::Counters& c = platform.Counts();
    EXPECT_EQ(c.createFileCalls - c.failedOpens, c.closeHandleCalls);
  }
}

class TopologyObjects : public ::testing::Test {
 protected:
  model::UsbModel model_ = Controllers(1);
  ModelPlatform platform_{model_};
  DetectionStore store_;
  DeviceRequests requests_{platform_};
  UsbContext context_{platform_, store_, requests_};
  PCHost host_{requests_};
};

TEST_F(TopologyObjects, RepliesAreKeptNotAskedAgainAndHubsStayOpenUntilTheWalkEnds) {
  auto controller = std::make_unique<HCDevice>(context_, host_.GetControllerHandle(0),
                                               host_.GetControllerDriverKey(0));
  EXPECT_EQ(controller->GetPortCount(), 2);
  EXPECT_EQ(controller->GetRootHubPath(), "\\\\.\\RH0");
  EXPECT_STREQ(controller->DriverKey(), "HC0");
  auto port = std::make_unique<Port>(context_, controller->GetRootHubHandle(), 1);
  EXPECT_EQ(port->GetHubPortCount(), 3);
  const USB_NODE_INFORMATION* record = port->HubInfo();
  ASSERT_NE(record, nullptr);

  // The hubs stop answering: what was read stands, and nothing is asked again.
  model_.controllers[0].rootHub->faults.nodeInfoFails = true;
  model_.controllers[0].rootHub->ports[0].device->hub->faults.nodeInfoFails = true;
  const char* driverKey = port->DriverKey();
  const ModelPlatform::Counters before = platform_.Counts();
  EXPECT_STREQ(port->HubName(), "HUB");
  EXPECT_EQ(port->DriverKey(), driverKey);
  EXPECT_EQ(port->HubInfo(), record);
  EXPECT_NE(controller->RootHubInfo(), nullptr);
  EXPECT_EQ(platform_.Counts().connectionNameQueries, before.connectionNameQueries);
  EXPECT_EQ(platform_.Counts().connectionDriverKeyQueries, before.connectionDriverKeyQueries);
  EXPECT_EQ(platform_.Counts().nodeInformationQueries, before.nodeInformationQueries);

  // Records belong to the detection; every hub handle stays open until the walk ends.
  controller.reset();
  port.reset();
  EXPECT_EQ(record->HubInformation.HubDescriptor.bNumberOfPorts, 3);
  EXPECT_EQ(store_.OpenHubHandleCount(), 2u);
  EXPECT_EQ(platform_.OpenHandleCount(), 3u);
  store_.CloseHubHandles();
  EXPECT_EQ(platform_.OpenHandleCount(), 1u);
}

TEST(Port, HubNameIsAskedByThePortNumberTheHubEchoedAndNothingWithoutIt) {
  testing::HookedPlatform platform(Controllers(1));
  // Asked for port 2, the hub answers for port 1, where HUB hangs.
  platform.onIoctl = [&](HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                         DWORD outSize) -> std::optional<DWORD> {
    if (code != IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) return std::nullopt;
    const std::uint32_t echoed = 1;
    std::memcpy(in, &echoed, sizeof echoed);
    platform.model.DeviceIoControl(device, code, in, inSize, out, outSize, nullptr, nullptr);
    return ERROR_SUCCESS;
  };
  DetectionStore store;
  DeviceRequests requests(platform);
  UsbContext context{platform, store, requests};
  PCHost host(requests);
  HCDevice controller(context, host.GetControllerHandle(0), host.GetControllerDriverKey(0));
  Port port(context, controller.GetRootHubHandle(), 2);
  EXPECT_EQ(port.GetHubPath(), "\\\\.\\HUB");
  EXPECT_EQ(port.GetHubPortCount(), 3);

  // Without a connection record there is no port number the hub confirmed.
  platform.onIoctl = [](HANDLE, DWORD code, void*, DWORD, void*, DWORD) -> std::optional<DWORD> {
    if (code == IOCTL_USB_GET_NODE_CONNECTION_INFORMATION) return ERROR_GEN_FAILURE;
    return std::nullopt;
  };
  Port failed(context, controller.GetRootHubHandle(), 1);
  EXPECT_EQ(failed.GetConnectionInfo(), nullptr);
  EXPECT_EQ(failed.HubName(), nullptr);
  EXPECT_EQ(failed.GetHubHandle(), nullptr);
  store.CloseHubHandles();
}

// A driver that keeps a request even once it is cancelled: the walk goes on without the hub,
// the request keeps its buffers and its event, and the requests after it end on another event.
TEST(DeviceRequests, ARequestItsDriverKeepsAfterCancellationIsLeftToIt) {
  model::UsbModel m = Controllers(1);
  m.controllers[0].rootHub->ports[0].device->hub->faults.neverAnswers = true;
  testing::HookedPlatform platform(std::move(m));
  platform.overlapped = true;
  platform.keepsCancelledRequests = true;
  DetectionStore store;
  {
    DeviceRequests requests(platform);
    UsbContext context{platform, store, requests};
    PCHost host(requests);
    HCDevice controller(context, host.GetControllerHandle(0), host.GetControllerDriverKey(0));
    Port held(context, controller.GetRootHubHandle(), 1);
    EXPECT_EQ(held.HubInfo(), nullptr);
    EXPECT_EQ(requests.Unanswered(), 1);
    ASSERT_EQ(requests.UnansweredDevices().size(), 1u);
    EXPECT_EQ(requests.UnansweredDevices()[0].path, "\\\\.\\HUB");
    Port next(context, controller.GetRootHubHandle(), 2);
    EXPECT_NE(next.GetConnectionInfo(), nullptr);
    store.CloseHubHandles();
  }
  EXPECT_EQ(platform.model.Counts().pendingRequests, 1u);
  EXPECT_EQ(platform.model.Counts().cancelledRequests, 0u);
  // The kept request's event alone stays open.
  EXPECT_EQ(platform.model.OpenHandleCount(), 1u);
}

}  // namespace
}  // namespace keldar
