// The model's deep equality and copy: round trips (the recorder's, the topology writer's) are
// only as good as this comparison.
#include "model/usb_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/topology_file.h"

namespace keldar {
namespace {

TEST(UsbModelEquality, ComparesDeeplyAndCopiesDeeply) {
  const model::UsbModel original =
      LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/model/platform-sample.json");
  const std::vector<void (*)(model::UsbModel&)> changes = {
      [](model::UsbModel&) {},
      [](model::UsbModel& m) {
        m.controllers[0].rootHub->ports[1].device->hub->ports[0].device->lowSpeed = false;
      },
      [](model::UsbModel& m) { m.controllers[0].rootHub->ports[2].connectionStatus.reset(); },
      [](model::UsbModel& m) { m.controllers[1].rootHub.reset(); },
      [](model::UsbModel& m) { m.otherDevices[1].databaseFaults.friendlyNameReadFails = true; },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    model::UsbModel copy = original;
    changes[i](copy);
    EXPECT_EQ(copy == original, i == 0) << "change " << i;
  }
}

}  // namespace
}  // namespace keldar
