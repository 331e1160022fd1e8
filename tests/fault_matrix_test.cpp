// The failure tables row by row: each row injects one fault into one small topology
// (tests/data/faults/base.json, patched per row) and checks the tree, the device list, the
// notices and the detail lines the user then sees. Rows named ..._SoundBehaviour_... are
// conditions where the program keeps going instead of ending or reading past a reply.
// Below the table: repeated detections keep their records, texts and handles flat, and hub
// chains deeper than USB allows, or hubs containing themselves, end in a finite tree.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/keldar_cli.h"
#include "cli/output.h"
#include "detect/report.h"
#include "support/fake_platform.h"
#include "detect/device_inspector.h"
#include "platform/model/model_platform.h"
#include "model/topology_file.h"
#include "ui/memory_views.h"

namespace keldar {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::vector<std::string>>;

std::string ReadFaultsFile(const std::string& name) {
  std::ifstream in(fs::path(KELDAR_TEST_DATA_DIR) / "faults" / name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// One line per tree item in pre-order: two blanks per level, the text ("<empty>" for an item
// made without one), and " +" when the item is expanded; `nodes` gets the items in that order.
void Outline(const TreeNode& node, int depth, std::vector<std::string>& lines,
             std::vector<const TreeNode*>& nodes) {
  lines.push_back(std::string(2 * depth, ' ') + (node.text.empty() ? "<empty>" : node.text) +
                  (node.expanded ? " +" : ""));
  nodes.push_back(&node);
  for (const auto& child : node.children) Outline(child, depth + 1, lines, nodes);
}

struct FaultRow {
  std::string name;
  std::string patch;  // JSON Patch applied to base.json
  std::vector<std::string> outline;
  Lines devices;
  bool keyFound;
  int detailItem;  // pre-order index of the item whose detail lines are checked
  Lines details;   // its first lines
  std::size_t detailCount;
  bool abandoned = false;  // the computer name was unavailable
};

// Failures name the row, not its bytes.
void PrintTo(const FaultRow& row, std::ostream* out) { *out << row.name; }

// A fault object added at `where`.
std::string Add(const std::string& where, const std::string& fault) {
  return R"([{"op": "add", "path": ")" + where + R"(", "value": )" + fault + "}]";
}

using Outlines = std::vector<std::string>;
const Outlines kBaseline = {
    "MATRIX-PC +",     "  Host Controller A +", "    RootHub +",          "      Protection Key",
    "      Generic Hub", "        Keyboard",    "  Host Controller B +", "    RootHub +",
    "      [Port1]NoDeviceConnected"};
Outlines Replaced(std::size_t line, const char* text, Outlines outline = kBaseline) {
  outline.at(line) = text;
  return outline;
}
const Outlines kExternalHubWithoutPorts = {
    "MATRIX-PC +",       "  Host Controller A +", "    RootHub +",
    "      Protection Key", "      Generic Hub",   "  Host Controller B +",
    "    RootHub +",        "      [Port1]NoDeviceConnected"};
const Outlines kUnnamedController = Replaced(1, "  <empty> +");
const Outlines kControllerWithoutRootHub = {"MATRIX-PC +", "  Host Controller A",
                                            "  Host Controller B +", "    RootHub +",
                                            "      [Port1]NoDeviceConnected"};
const Outlines kRootHubWithoutPorts = {"MATRIX-PC +",   "  Host Controller A +",
                                       "    RootHub",   "  Host Controller B +",
                                       "    RootHub +", "      [Port1]NoDeviceConnected"};
const Outlines kUnnamedKey = Replaced(3, "      <empty>");

const std::vector<std::string> kKey = {"Unknown", "Protection Key", "0x 096E", "0x 0201"};
const std::vector<std::string> kUnnamedKeyRow = {"Unknown", "", "0x 096E", "0x 0201"};
const std::vector<std::string> kKeyboard = {"Logitech Inc.", "Keyboard", "0x 046D", "0x C31C"};

const Lines kKeyDetails = {
    {"DeviceDriverKeyName", "KEY-1"}, {"bLength:", "0x 0012"},     {"bcdUSB:", "0x 0200"},
    {"bDeviceClass:", "0x 0000"},     {"bDeviceSubClass:", "0x 0000"},
    {"bDeviceProtocol:", "0x 0000"},  {"bMaxPacketSize0:", "0x 0040\t( 64 )"},
    {"bLength:", "0x 0012"},          {"idVendor:", "0x 096E"},     {"idProduct:", "0x 0201"},
    {"bcdDevice:", "0x 0100"},        {"iManufacturer:", "0x 0000"},
    {"iSerialNumber:", "0x 0000"},    {"bNumConfigurations:", "0x 0001"},
    {"ConnectionStatus:", "0x 0001\t( Connected )"}, {"High Speed:", "Yes"}};
const Lines kExternalHubDetails = {
    {"Root Hub: ", "HUB_B"}, {"HubIsBusPowered: ", "Hub is Bus Powered"},
    {"Number of Ports: ", "1"}, {"bDescriptorType: ", "0x 0029"},
    {"wHubCharacteristics: ", "0x 0000"}, {"bPowerOnToPowerGood: ", "0x 0000"},
    {"bHubControlCurrent: ", "0x 0000"}};

const std::string kControllerA = "/controllers/0";
const std::string kKeyPort = kControllerA + "/rootHub/ports/0";
const std::string kHubPort = kControllerA + "/rootHub/ports/1";

// The ways a name reply of the hub driver goes wrong, with the row names' spelling of each.
const std::pair<const char*, const char*> kNameFaults[] = {
    {"probeFails", "ProbeFails"},           {"absurdLength", "AbsurdLength_SoundBehaviour"},
    {"fetchFails", "FetchFails"},           {"conversionFails", "ConversionFails"},
    {"bareHeader", "BareHeader"},           {"shortLength", "ShortLength_SoundBehaviour"},
    {"oddLength", "OddLength_SoundBehaviour"}};

std::vector<FaultRow> Rows() {
  std::vector<FaultRow> rows = {
      {"NoFaults", "[]", kBaseline, {kKey, kKeyboard}, true, 4, kExternalHubDetails, 7},

      // Opening the host controllers.
      {"ControllerOpenFailsAtHcd0_NoControllers",
       Add(kControllerA + "/faults", R"({"openFails": true})"), {"MATRIX-PC +"}, {}, false, 0,
       {{"MATRIX-PC", ""}}, 1},
      {"ControllerOpenFailsAtHcd1_SearchEndsAfterHcd0",
       Add("/controllers/1/faults", R"({"openFails": true})"),
       {kBaseline.begin(), kBaseline.begin() + 6}, {kKey, kKeyboard}, true, 1,
       {{"Host Controller: ", "HCD-A"}}, 1},

      // Connection information: the hub driver lost the device; the walk goes on.
      {"ConnectionInfoFails_SoundBehaviour_PortReadsEmpty",
       Add(kKeyPort + "/faults", R"({"connectionInfoFails": true})"),
       Replaced(3, "      [Port1]NoDeviceConnected"), {kKeyboard}, false, 3,
       {{"No Device Connected!", ""}}, 1},
      {"ConnectionInfoFailsAtHubPort_SoundBehaviour_PortReadsEmpty",
       Add(kHubPort + "/faults", R"({"connectionInfoFails": true})"),
       Replaced(4, "      [Port2]NoDeviceConnected", kExternalHubWithoutPorts), {kKey}, true, 4,
       {{"No Device Connected!", ""}}, 1},

      {"ControllerDriverKeyNoTerminator_SoundBehaviour_ReadWithinReply",
       Add(kControllerA + "/faults", R"({"driverKeyName": "noTerminator"})"), kBaseline,
       {kKey, kKeyboard}, true, 1, {{"Host Controller: ", "HCD-A"}}, 1},
      // An empty root hub or hub name is no path to open.
      {"RootHubNameBareHeader_EmptyNameOpensNothing",
       Add(kControllerA + "/faults", R"({"rootHubName": "bareHeader"})"), kRootHubWithoutPorts,
       {}, false, 2, {{"Root Hub: ", ""}}, 1},

      // The friendly-name lookup.
      {"FriendlyNameNoDeviceSet_NothingNamed", Add("/faults", R"({"deviceSetFails": true})"),
       {"MATRIX-PC +", "  <empty> +", "    RootHub +", "      <empty>", "      <empty>",
        "        <empty>", "  <empty> +", "    RootHub +", "      [Port1]NoDeviceConnected"},
       {kUnnamedKeyRow, {"Logitech Inc.", "", "0x 046D", "0x C31C"}}, true, 1,
       {{"Host Controller: ", "HCD-A"}}, 1},
      {"FriendlyNameNoMatch_DeviceUnnamed",
       Add(kKeyPort + "/device/faults", R"({"driverKeyReadFails": true})"), kUnnamedKey,
       {kUnnamedKeyRow, kKeyboard}, true, 3, kKeyDetails, 16},
      {"FriendlyNameAbsent_DriverKeyShown",
       R"([{"op": "remove", "path": ")" + kKeyPort + R"(/device/friendlyName"}])",
       Replaced(3, "      KEY-1"), {{"Unknown", "KEY-1", "0x 096E", "0x 0201"}, kKeyboard}, true,
       3, kKeyDetails, 16},
      {"FriendlyNameReadFailsAfterReallocation_EmptyText",
       Add(kKeyPort + "/device/faults", R"({"friendlyNameReadFails": true})"), kUnnamedKey,
       {kUnnamedKeyRow, kKeyboard}, true, 3, kKeyDetails, 16},

      {"ComputerNameUnavailable_BuildAbandoned",
       R"([{"op": "remove", "path": "/computerName"}])", {}, {}, false, 0, {}, 0, true},
  };

  // Opening a hub, or its node information, failing: a hub item without ports.
  for (const char* fault : {"openFails", "nodeInfoFails"}) {
    const std::string name = std::string(fault[0] == 'o' ? "Open" : "NodeInfo") +
                             "Fails_HubItemWithoutPorts";
    rows.push_back({"RootHub" + name,
                    Add(kControllerA + "/rootHub/faults", "{\"" + std::string(fault) + "\": true}"),
                    kRootHubWithoutPorts, {}, false, 2, {{"Root Hub: ", "ROOT_HUB_A"}}, 1});
    rows.push_back({"ExternalHub" + name,
                    Add(kHubPort + "/device/hub/faults", "{\"" + std::string(fault) + "\": true}"),
                    kExternalHubWithoutPorts, {kKey}, true, 4, {{"Root Hub: ", "HUB_B"}}, 1});
  }

  // The first `faults` ways of kNameFaults on the name `field` at `where`, each expecting `row`
  // (whose name is the outcome).
  const auto nameRows = [&rows](const std::string& subject, const std::string& where,
                                const std::string& field, std::size_t faults, FaultRow row) {
    const std::string outcome = row.name;
    for (std::size_t i = 0; i < faults; ++i) {
      row.name = subject + kNameFaults[i].second + "_" + outcome;
      row.patch = Add(where + "/faults", "{\"" + field + "\": \"" + kNameFaults[i].first + "\"}");
      rows.push_back(row);
    }
  };
  // The controller's driver key: no key, no friendly name, an empty label.
  nameRows("ControllerDriverKey", kControllerA, "driverKeyName", 7,
           {"NoKey", "", kUnnamedController, {kKey, kKeyboard}, true, 1,
            {{"Host Controller: ", ""}}, 1});
  // The root hub's name: without it the controller has nothing below it.
  nameRows("RootHubName", kControllerA, "rootHubName", 4,
           {"ControllerWithoutChildren", "", kControllerWithoutRootHub, {}, false, 1,
            {{"Host Controller: ", "HCD-A"}}, 1});
  // A device's driver key: the device is listed and identified, but unnamed.
  nameRows("DeviceDriverKey", kKeyPort, "driverKeyName", 5,
           {"DeviceUnnamed", "", kUnnamedKey, {kUnnamedKeyRow, kKeyboard}, true, 3,
            {{"DeviceDriverKeyName", ""}, {"bLength:", "0x 0012"}}, 16});
  // An external hub's name: without it the hub cannot be opened.
  nameRows("HubName", kHubPort, "hubName", 5,
           {"HubNotOpened", "", kExternalHubWithoutPorts, {kKey}, true, 4, {{"Root Hub: ", ""}},
            1});
  return rows;
}

class FaultMatrix : public testing::TestWithParam<FaultRow> {};

TEST_P(FaultMatrix, TreeDevicesNoticesAndDetails) {
  const FaultRow& row = GetParam();
  const nlohmann::json topology =
      nlohmann::json::parse(ReadFaultsFile("base.json")).patch(nlohmann::json::parse(row.patch));
  ModelPlatform platform(ReadTopology(topology.dump(), std::string(row.name) + ".json"));
  DWORD error = 0;
  const std::optional<DetectionReport> report =
      RunDetection(platform, 936, row.name, &error);

  // Nothing the detection opened stays open, whatever failed.
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
  EXPECT_EQ(platform.OpenDeviceSetCount(), 0u);
  if (row.abandoned) {
    EXPECT_FALSE(report.has_value());
    EXPECT_EQ(error, DWORD{ERROR_FILE_NOT_FOUND});
    return;
  }
  ASSERT_TRUE(report.has_value());

  std::vector<std::string> outline;
  std::vector<const TreeNode*> items;
  for (const auto& root : report->tree) Outline(root, 0, outline, items);
  EXPECT_EQ(outline, row.outline);
  EXPECT_EQ(report->devices, row.devices);

  EXPECT_EQ(report->keyFound, row.keyFound);
  ASSERT_EQ(report->notices.size(), 1u);
  const std::string heading = row.keyFound ? "检测到以知加密狗\r\n" : "非常抱歉的通知:\r\n";
  EXPECT_EQ(report->notices[0].text.substr(0, heading.size()), heading);

  ASSERT_LT(static_cast<std::size_t>(row.detailItem), items.size());
  const Lines& details = items[static_cast<std::size_t>(row.detailItem)]->details;
  EXPECT_EQ(details.size(), row.detailCount);
  const Lines leading(details.begin(),
                      details.begin() + static_cast<std::ptrdiff_t>(
                                            std::min(details.size(), row.details.size())));
  EXPECT_EQ(leading, row.details);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, testing::ValuesIn(Rows()),
                         [](const testing::TestParamInfo<FaultRow>& info) {
                           return info.param.name;
                         });

// Without a handler of its own, an unavailable computer name ends the process with the error.
TEST(FaultMatrixDeathTest, ComputerNameUnavailableEndsTheProcessWithItsError) {
  nlohmann::json topology = nlohmann::json::parse(ReadFaultsFile("base.json"));
  topology.erase("computerName");
  ModelPlatform platform(ReadTopology(topology.dump(), "no-name.json"));
  MemoryTreeView tree;
  MemoryListView deviceList, detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);
  EXPECT_EXIT(inspector.Detect(), testing::ExitedWithCode(ERROR_FILE_NOT_FOUND), "");
}

TEST(Reliability, ThousandDetectionsKeepRecordsTextsAndHandlesFlat) {
  ModelPlatform platform(ReadTopology(cli::DemoTopology(), "demo.json"));
  MemoryTreeView tree;
  MemoryListView deviceList, detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);

  ASSERT_TRUE(inspector.Detect());
  const DetectionStore* first = inspector.Store();
  ASSERT_NE(first, nullptr);
  const std::size_t records = first->RecordCount();
  const std::size_t texts = first->TextCount();
  EXPECT_GT(records, 0u);
  EXPECT_GT(texts, 0u);
  const unsigned items = tree.GetCount();
  const std::size_t notices = notifier.Notices().size();

  for (int detection = 2; detection <= 1000; ++detection) {
    ASSERT_TRUE(inspector.Detect());
    const DetectionStore* store = inspector.Store();
    ASSERT_EQ(std::tuple(store->RecordCount(), store->TextCount(), store->OpenHubHandleCount(),
                         platform.OpenHandleCount(), platform.OpenDeviceSetCount()),
              std::tuple(records, texts, std::size_t{0}, std::size_t{0}, std::size_t{0}))
        << "detection " << detection;
    ASSERT_EQ(tree.GetCount(), items) << "detection " << detection;
    ASSERT_EQ(notifier.Notices().size(), static_cast<std::size_t>(detection) * notices)
        << "detection " << detection;
  }
  // Every handle opened was closed again.
  const ModelPlatform::Counters& counts = platform.Counts();
  EXPECT_EQ(counts.createFileCalls - counts.failedOpens, counts.closeHandleCalls);
}

// Hub k hangs on port 1 of hub k-1, k = 1..7. The ports of hubs 1 to 5 are walked; hub 6 is
// shown as a hub with its node information but without ports; hub 7 is never reached.
TEST(Reliability, HubChainDeeperThanTheTierLimitStopsAtTheSixthHub) {
  ModelPlatform platform(ReadTopology(ReadFaultsFile("hub-chain-seven-deep.json"), "chain.json"));
  DWORD error = 0;
  const auto report = RunDetection(platform, 936, "chain", &error);
  ASSERT_TRUE(report.has_value());
  std::vector<std::string> outline;
  std::vector<const TreeNode*> items;
  Outline(report->tree.at(0), 0, outline, items);
  const std::vector<std::string> expected = {
      "CHAIN-PC +",         "  Chain Controller +", "    RootHub +",
      "      Hub 1",        "        Hub 2",         "          Hub 3",
      "            Hub 4", "              Hub 5",   "                Hub 6"};
  EXPECT_EQ(outline, expected);
  ASSERT_EQ(items.size(), 9u);
  const Lines sixth = {
      {"Root Hub: ", "CHAIN_HUB_6"}, {"HubIsBusPowered: ", "Self Power"},
      {"Number of Ports: ", "1"},    {"bDescriptorType: ", "0x 0029"},
      {"wHubCharacteristics: ", "0x 0000"}, {"bPowerOnToPowerGood: ", "0x 0000"},
      {"bHubControlCurrent: ", "0x 0000"},
  };
  EXPECT_EQ(items[8]->details, sixth);
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
}

// A hub driver that names the hub on port 1 of hub LOOP as LOOP itself: every opening answers
// the same hub. The walk ends at the tier limit with six hub items below the root hub.
TEST(Reliability, HubContainingItselfIsNotWalkedAgain) {
  fake::FakePlatform platform;
  platform.computerName = "LOOP-PC";
  platform.deviceSetFails = true;
  const HANDLE controller = fake::Handle(1);
  const HANDLE loop = fake::Handle(2);
  platform.files = {{"\\\\.\\HCD0", controller}, {"\\\\.\\LOOP", loop}};
  platform.names[{controller, IOCTL_USB_GET_ROOT_HUB_NAME, 0}] = fake::Name(u"LOOP");
  platform.names[{loop, IOCTL_USB_GET_NODE_CONNECTION_NAME, 1}] = fake::Name(u"LOOP");
  platform.hubs[loop] = fake::HubInformation(1);
  platform.connections[{loop, 1}] = fake::Connection(0x05E3, 0x0608, /*isHub=*/true);

  MemoryTreeView tree;
  MemoryListView deviceList, detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);
  ASSERT_TRUE(inspector.Detect());

  std::vector<int> depths;
  for (TreeItem item : tree.PreOrder()) depths.push_back(tree.Depth(item));
  // LOOP is walked once: below itself it shows as a hub that could not be opened.
  EXPECT_EQ(depths, (std::vector<int>{0, 1, 2, 3}));
  ASSERT_EQ(inspector.Nodes().Rows().size(), 4u);
  for (int row = 2; row < 4; ++row) {
    const NodeEntry& node = inspector.Nodes().Row(row);
    EXPECT_EQ(node.kind, Hub) << "row " << row;
    EXPECT_STREQ(node.label, "LOOP") << "row " << row;
    EXPECT_EQ(node.hubInfo == nullptr, row == 3) << "row " << row;
  }
  EXPECT_EQ(deviceList.GetItemCount(), 0);
  // Every hub handle the walk opened is closed when it ends.
  EXPECT_EQ(inspector.Store()->OpenHubHandleCount(), 0u);
}

// A path is whatever bytes the file system holds; the JSON document stays valid UTF-8.
TEST(Reliability, JsonOfASourcePathThatIsNotUtf8ReplacesTheBadBytes) {
  DetectionReport report;
  report.source = "topology:\xB2\xB2.json";
  std::ostringstream out;
  cli::WriteJson(report, out);
  const nlohmann::json document = nlohmann::json::parse(out.str());
  EXPECT_EQ(document.at("source"), "topology:\xEF\xBF\xBD\xEF\xBF\xBD.json");
}

}  // namespace
}  // namespace keldar
