// The recorder between the device tree and a ModelPlatform: a full detection is walked through
// it, and the model it records must be the one the platform answered from, as far as a walk
// can see it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include <sstream>

#include "cli/output.h"
#include "detect/report.h"
#include "platform/model/model_platform.h"
#include "platform/recording/recording_platform.h"
#include "model/topology_file.h"
#include "ui/memory_views.h"
#include "detect/device_tree.h"

namespace keldar {
namespace {

// UTF-8 as the model holds it; u8 literals escape the GBK execution character set.
std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// An office PC on a Chinese Windows: a USB 3 controller with a keyboard, a hub carrying a key
// and a device that failed enumeration, a port whose hub stops answering, a stick whose
// friendly name (64 bytes, longer than any driver key) cannot be read; a controller whose root
// hub fails its node information, one whose root hub cannot be opened; a network card that is
// not on USB.
model::UsbModel Office() {
  return LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/model/office.json");
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

// The tree a detection shows, one line per item, indented by depth.
std::vector<std::string> Detect(Platform& platform, bool computerNameFails = false) {
  MemoryTreeView view;
  DeviceTree tree(platform, view, nullptr);
  if (computerNameFails) tree.SetComputerNameFailure([](DWORD) {});
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

  // A recording cannot show empty ports, a status of 1 given explicitly, or database entries
  // that are not on USB; the unreadable name is stood in for by one "?" per byte.
  const model::UsbModel recorded = recorder.RecordedModel();
  model::UsbModel expected = model::Clone(original);
  expected.otherDevices.clear();
  for (model::Controller& controller : expected.controllers)
    DropWhatAWalkCannotSee(*controller.rootHub);
  expected.controllers[0].rootHub->ports[3].device->friendlyName = std::string(64, '?');
  EXPECT_TRUE(recorded == expected);

  // Texts decoded from code page 936 and from the hub driver's UTF-16.
  EXPECT_EQ(recorded.computerName, U8(u8"财务部-PC"));
  ASSERT_EQ(recorded.controllers.size(), 3u);
  const model::Device& key = *recorded.controllers[0].rootHub->ports[1].device->hub->ports[0].device;
  EXPECT_EQ(key.descriptor.idVendor, 0x096E);
  EXPECT_EQ(key.friendlyName, U8(u8"USB 加密锁"));
  EXPECT_TRUE(recorded.controllers[1].rootHub->faults.nodeInfoFails);

  // Replaying the recording shows the same tree.
  ModelPlatform replay(recorded);
  EXPECT_EQ(Detect(replay), shown);
}

// Controllers behind gaps in the HCD links, and those only a device interface reaches, are
// recorded so that the replay walks them in the same order.
TEST(RecordingPlatform, ControllersBeyondHcdGapsReplayInTheirWalkOrder) {
  for (const char* name : {"regression-hcd-gap-at-zero", "hcd-gaps-and-interface-only",
                           "twelve-controllers"}) {
    SCOPED_TRACE(name);
    const model::UsbModel original =
        LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/fixtures/" + name + ".json");
    ModelPlatform inner(original);
    RecordingPlatform recorder(inner, 936);
    const std::vector<std::string> shown = Detect(recorder);
    ModelPlatform replay(recorder.RecordedModel());
    EXPECT_EQ(Detect(replay), shown);
    EXPECT_EQ(recorder.RecordedModel().controllers.size(), original.controllers.size());
  }
}

TEST(RecordingPlatform, FailedDeviceSetAndComputerNameAreRecorded) {
  model::UsbModel original = Office();
  original.deviceSetFails = true;
  ModelPlatform inner(original);
  RecordingPlatform recorder(inner, 936);
  Detect(recorder);
  const model::UsbModel recorded = recorder.RecordedModel();
  EXPECT_TRUE(recorded.deviceSetFails);
  ASSERT_EQ(recorded.controllers.size(), 3u);
  // Without a device set no friendly name is ever read.
  EXPECT_EQ(recorded.controllers[0].friendlyName, std::nullopt);
  EXPECT_EQ(recorded.controllers[0].driverKey, "{36fc9e60-c465-11cf-8056-444553540000}\\0000");

  original.computerName.reset();
  ModelPlatform nameless(original);
  RecordingPlatform nameRecorder(nameless, 936);
  Detect(nameRecorder, true);
  EXPECT_EQ(nameRecorder.RecordedModel().computerName, std::nullopt);
  EXPECT_TRUE(nameRecorder.RecordedModel().controllers.empty());
}

// The whole detection as the console prints it, labels and details included.
std::string DetectJson(Platform& platform) {
  std::ostringstream out;
  const auto report = RunDetection(platform, 936, "recording", nullptr);
  if (report) cli::WriteJson(*report, out);
  return out.str();
}

TEST(RecordingPlatform, AttachedHubWhoseNameQueryFailedReplaysAsFailingNotAsEmpty) {
  model::UsbModel original = Office();
  model::Port& hubPort = original.controllers[0].rootHub->ports[1];
  ASSERT_TRUE(hubPort.device && hubPort.device->hub);
  hubPort.faults.hubName = model::NameFault::FetchFails;
  ModelPlatform direct(original);
  const std::string shown = DetectJson(direct);

  ModelPlatform inner(original);
  RecordingPlatform recorder(inner, 936);
  DetectJson(recorder);
  const model::UsbModel recorded = recorder.RecordedModel();
  const model::Port& recordedPort = recorded.controllers[0].rootHub->ports[1];
  ASSERT_TRUE(recordedPort.device && recordedPort.device->hub);
  EXPECT_EQ(recordedPort.faults.hubName, model::NameFault::ShortLength);
  ModelPlatform replay(recorded);
  EXPECT_EQ(DetectJson(replay), shown);
}

TEST(RecordingPlatform, DriverKeyThatNoDatabaseEntryCarriesReplaysAsUnmatched) {
  model::UsbModel original = Office();
  model::Device& keyboard = *original.controllers[0].rootHub->ports[0].device;
  ASSERT_TRUE(keyboard.driverKey);
  keyboard.databaseFaults.driverKeyReadFails = true;
  ModelPlatform direct(original);
  const std::string shown = DetectJson(direct);

  ModelPlatform inner(original);
  RecordingPlatform recorder(inner, 936);
  DetectJson(recorder);
  const model::UsbModel recorded = recorder.RecordedModel();
  const model::Device& recordedKeyboard = *recorded.controllers[0].rootHub->ports[0].device;
  EXPECT_EQ(recordedKeyboard.driverKey, keyboard.driverKey);
  EXPECT_TRUE(recordedKeyboard.databaseFaults.driverKeyReadFails);
  ModelPlatform replay(recorded);
  EXPECT_EQ(DetectJson(replay), shown);
}

}  // namespace
}  // namespace keldar
