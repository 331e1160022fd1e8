// The recorder between the device tree and a ModelPlatform: a full detection is walked through
// it, and the model it records must be the one the platform answered from, as far as a walk
// can see it.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "backends/model/model_platform.h"
#include "backends/recording/recording_platform.h"
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
  model::UsbModel expected = original;
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

// Every fixture and fault row is also recorded and replayed by the golden test; what a report
// cannot show is a computer name that could not be read.
TEST(RecordingPlatform, UnreadableComputerNameIsRecordedAsAbsent) {
  model::UsbModel original = Office();
  original.computerName.reset();
  ModelPlatform nameless(original);
  RecordingPlatform recorder(nameless, 936);
  Detect(recorder, true);
  EXPECT_EQ(recorder.RecordedModel().computerName, std::nullopt);
  EXPECT_TRUE(recorder.RecordedModel().controllers.empty());
}

}  // namespace
}  // namespace keldar
