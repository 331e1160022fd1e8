// The device tree builder and its node table, on model topologies: which row points at which
// record, what a build leaves open or allocated, and the computer-name failure. The texts and the
// order of the rows are pinned by the fixture tests; the tier limit by the fault matrix.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/model/model_platform.h"
#include "model/topology_file.h"
#include "ui/memory_views.h"
#include "detect/device_tree.h"

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

TEST(DeviceTree, RowsDescribeTheTreeItemsInPreOrderAndPointAtTheirRecords) {
  Desk desk(kDesk);
  desk.builder.BuildDeviceTree();

  const std::vector<NodeKind> kinds = {Computer, HostController, Hub, PortDevice, Hub, PortDevice,
                                       PortDevice, PortDevice, HostController, Hub, PortDevice};
  ASSERT_EQ(desk.builder.Nodes().Rows().size(), 11u);
  ASSERT_EQ(desk.tree.GetCount(), 11u);
  const std::vector<TreeItem> items = desk.tree.PreOrder();
  const std::vector<NodeEntry>& nodes = desk.builder.Nodes().Rows();
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    EXPECT_EQ(nodes[i].treeItem, items[i]) << "row " << i;
    EXPECT_EQ(nodes[i].kind, kinds[i]) << "row " << i;
    EXPECT_EQ(nodes[i].hubInfo != nullptr, i == 2 || i == 4 || i == 9) << "row " << i;
    EXPECT_EQ(nodes[i].connectionInfo != nullptr, i == 3 || i == 6) << "row " << i;
  }
  EXPECT_EQ(nodes[2].hubInfo->HubInformation.HubDescriptor.bNumberOfPorts, 3);
  EXPECT_EQ(nodes[4].hubInfo->HubInformation.HubDescriptor.bNumberOfPorts, 2);
  EXPECT_NE(nodes[4].hubInfo->HubInformation.HubIsBusPowered, 0);
  EXPECT_EQ(nodes[9].hubInfo->HubInformation.HubDescriptor.bNumberOfPorts, 1);
  EXPECT_EQ(nodes[3].connectionInfo->DeviceDescriptor.idVendor, 0x096E);
  EXPECT_EQ(nodes[6].connectionInfo->ConnectionIndex, 2u);
  EXPECT_EQ(nodes[6].connectionInfo->DeviceDescriptor.idProduct, 0xC31C);
}

TEST(DeviceTree, TreeGetsTheImageListAndTheColoursAndRepeatedBuildsTheSameRows) {
  Desk desk(kDesk);
  const auto labels = [&desk] {
    std::vector<std::string> labels;
    for (const NodeEntry& node : desk.builder.Nodes().Rows())
      labels.push_back(node.label ? node.label : "-");
    return labels;
  };
  desk.builder.BuildDeviceTree();
  EXPECT_EQ(desk.tree.NormalImageList(), kImages);
  EXPECT_EQ(desk.tree.TextColour(), 0x003300u);
  EXPECT_EQ(desk.tree.BkColour(), 0xF0F0F0u);
  const std::vector<std::string> first = labels();
  EXPECT_EQ(desk.builder.Store()->OpenHubHandleCount(), 0u);

  // Records, texts and handles over many detections are pinned by the reliability run.
  for (int build = 0; build < 3; ++build) desk.builder.BuildDeviceTree();
  EXPECT_EQ(desk.tree.GetCount(), 11u);
  EXPECT_EQ(labels(), first);
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
