// The device tree builder on a model topology: the tree's look, and what a build abandoned for
// want of the computer name leaves. The rows, their kinds and the records they point at show in
// the golden outputs (each item's detail lines come from its row's record); repeated builds are
// the reliability run's.
#include "detect/device_tree.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "model/topology_file.h"
#include "platform/model/model_platform.h"
#include "ui/memory_views.h"

namespace keldar {
namespace {

// Two controllers; the first has a key on root port 1 and an external hub on root port 2 with
// a keyboard on its port 2; the second's one root port is empty.
constexpr const char* kDesk = R"({
  "format": "keldar-topology", "version": 1, "computerName": "UNIT-PC",
  "controllers": [
    {"driverKey": "{hc}\\0000", "friendlyName": "Host Controller Zero",
     "rootHub": {"name": "ROOT_HUB_A", "hubDescriptor": {"bNumberOfPorts": 3}, "ports": [
       {"port": 1, "device": {"descriptor": {"idVendor": "0x096E", "idProduct": "0x0201"},
                              "driverKey": "{dev}\\0001", "friendlyName": "Key One"}},
       {"port": 2, "device": {"descriptor": {"idVendor": "0x05E3", "idProduct": "0x0608"},
                              "driverKey": "{dev}\\0002", "friendlyName": "Hub Two",
         "hub": {"name": "EXT_HUB", "busPowered": true, "hubDescriptor": {"bNumberOfPorts": 2},
                 "ports": [{"port": 2, "device": {
                   "descriptor": {"idVendor": "0x046D", "idProduct": "0xC31C"},
                   "driverKey": "{dev}\\0003"}}]}}}]}},
    {"driverKey": "{hc}\\0001", "friendlyName": "Host Controller One",
     "rootHub": {"name": "ROOT_HUB_B", "hubDescriptor": {"bNumberOfPorts": 1}}}
  ]})";

const ImageListHandle kImages = reinterpret_cast<ImageListHandle>(0x5A5A);

struct Desk {
  explicit Desk(const std::string& topology) : model(ReadTopology(topology, "unit.json")) {}
  model::UsbModel model;
  ModelPlatform platform{model};
  MemoryTreeView tree;
  DeviceTree builder{platform, tree, kImages};
};

TEST(DeviceTree, TreeGetsTheImageListAndTheColours) {
  Desk desk(kDesk);
  desk.builder.BuildDeviceTree();
  EXPECT_EQ(desk.tree.NormalImageList(), kImages);
  EXPECT_EQ(desk.tree.TextColour(), 0x003300u);
  EXPECT_EQ(desk.tree.BkColour(), 0xF0F0F0u);
}

TEST(DeviceTree, UnavailableComputerNameGoesToTheHandlerAndLeavesNoTree) {
  Desk desk(kDesk);
  desk.builder.BuildDeviceTree();
  ASSERT_EQ(desk.builder.Nodes().Rows().size(), 11u);

  std::vector<DWORD> errors;
  desk.builder.SetComputerNameFailure([&errors](DWORD error) { errors.push_back(error); });
  desk.model.computerName.reset();
  desk.builder.BuildDeviceTree();

  EXPECT_EQ(errors, std::vector<DWORD>{ERROR_FILE_NOT_FOUND});
  EXPECT_TRUE(desk.builder.BuildAbandoned());
  EXPECT_EQ(desk.tree.GetCount(), 0u);
  EXPECT_EQ(desk.builder.Nodes().Rows().size(), 0u);
  EXPECT_EQ(desk.builder.Store()->RecordCount(), 0u);
  EXPECT_EQ(desk.platform.OpenHandleCount(), 0u);
}

}  // namespace
}  // namespace keldar
