// What the fault matrix (golden_test.cpp) cannot show in one report: repeated detections keep
// their records, texts and handles flat; a hub that contains itself ends at the tier limit; an
// unavailable computer name without a handler ends the process with its error.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/keldar_cli.h"
#include "cli/output.h"
#include "detect/device_inspector.h"
#include "detect/report.h"
#include "model/topology_file.h"
#include "backends/model/model_platform.h"
#include "ui/memory_views.h"

namespace keldar {
namespace {

struct Desk {
  explicit Desk(model::UsbModel usb) : platform(std::move(usb)) {}
  ModelPlatform platform;
  MemoryTreeView tree;
  MemoryListView deviceList, detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector{platform, tree, deviceList, detailList, notifier, nullptr};
};

TEST(Reliability, ThousandDetectionsKeepRecordsTextsAndHandlesFlat) {
  Desk desk(ReadTopology(cli::DemoTopology(), "demo.json"));
  ASSERT_TRUE(desk.inspector.Detect());
  const DetectionStore* first = desk.inspector.Store();
  const std::size_t records = first->RecordCount();
  const std::size_t texts = first->TextCount();
  EXPECT_GT(records, 0u);
  EXPECT_GT(texts, 0u);
  const unsigned items = desk.tree.GetCount();
  const std::size_t notices = desk.notifier.Notices().size();

  for (int detection = 2; detection <= 1000; ++detection) {
    ASSERT_TRUE(desk.inspector.Detect());
    const DetectionStore* store = desk.inspector.Store();
    ASSERT_EQ(std::tuple(store->RecordCount(), store->TextCount(), store->OpenHubHandleCount(),
                         desk.platform.OpenHandleCount(), desk.platform.OpenDeviceSetCount(),
                         desk.tree.GetCount(), desk.notifier.Notices().size()),
              std::tuple(records, texts, std::size_t{0}, std::size_t{0}, std::size_t{0}, items,
                         static_cast<std::size_t>(detection) * notices))
        << "detection " << detection;
  }
}

// The hub on port 1 of root hub LOOP is named LOOP too, and a name opens the first hub that
// bears it: every opening answers the root hub again. No topology file can say this (the reader
// refuses a name given twice); a hub driver can.
TEST(Reliability, HubContainingItselfIsNotWalkedAgain) {
  model::UsbModel m;
  m.computerName = "LOOP-PC";
  m.deviceSetFails = true;
  auto& root = m.controllers.emplace_back().rootHub = std::make_unique<model::Hub>();
  root->name = "LOOP";
  root->descriptor.bNumberOfPorts = 1;
  auto& device = root->ports.emplace_back().device = std::make_unique<model::Device>();
  device->descriptor.idVendor = 0x05E3;
  device->hub = std::make_unique<model::Hub>();
  device->hub->name = "LOOP";
  Desk desk(std::move(m));
  ASSERT_TRUE(desk.inspector.Detect());

  std::vector<int> depths;
  for (TreeItem item : desk.tree.PreOrder()) depths.push_back(desk.tree.Depth(item));
  // LOOP is walked once: below itself it shows as a hub that could not be opened.
  EXPECT_EQ(depths, (std::vector<int>{0, 1, 2, 3}));
  ASSERT_EQ(desk.inspector.Nodes().Rows().size(), 4u);
  for (int row = 2; row < 4; ++row) {
    const NodeEntry& node = desk.inspector.Nodes().Row(row);
    EXPECT_EQ(node.kind, Hub) << "row " << row;
    EXPECT_STREQ(node.label, "LOOP") << "row " << row;
    EXPECT_EQ(node.hubInfo == nullptr, row == 3) << "row " << row;
  }
  EXPECT_EQ(desk.deviceList.GetItemCount(), 0);
  EXPECT_EQ(desk.platform.OpenHandleCount(), 0u);
}

// Without a handler of its own, an unavailable computer name ends the process with the error.
TEST(ReliabilityDeathTest, ComputerNameUnavailableEndsTheProcessWithItsError) {
  model::UsbModel nameless;
  Desk desk(std::move(nameless));
  EXPECT_EXIT(desk.inspector.Detect(), testing::ExitedWithCode(ERROR_FILE_NOT_FOUND), "");
}

// A path is whatever bytes the file system holds; the JSON document stays valid UTF-8.
TEST(Reliability, JsonOfASourcePathThatIsNotUtf8ReplacesTheBadBytes) {
  DetectionReport report;
  report.source = "topology:\xB2\xB2.json";
  std::ostringstream out;
  cli::WriteJson(report, out);
  EXPECT_EQ(nlohmann::json::parse(out.str()).at("source"),
            "topology:\xEF\xBF\xBD\xEF\xBF\xBD.json");
}

}  // namespace
}  // namespace keldar
