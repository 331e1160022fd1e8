// The access layer's own defences: name replies bounded by the bytes it allocated, whatever the
// hub driver announces, and property reads that give up on a database that keeps asking.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "detect/device_inspector.h"
#include "model/topology_file.h"
#include "support/hooked_platform.h"
#include "ui/memory_views.h"
#include "usb/access.h"

namespace keldar {
namespace {

using namespace std::literals;
using testing::HookedPlatform;
using Fault = model::NameFault;

TEST(Utf16ToAnsi, ConvertsToTheAnsiCodePageNeverPastTheBound) {
  ModelPlatform platform(model::UsbModel{});
  const std::basic_string<WCHAR> text = {u'中', u'U', u'S', u'B', 0, u'X'};
  EXPECT_EQ(Utf16ToAnsi(platform, text.data(), text.size()).view(), "\xD6\xD0USB"sv);
  EXPECT_EQ(Utf16ToAnsi(platform, text.data(), 3).view(), "\xD6\xD0US"sv);
  EXPECT_EQ(Utf16ToAnsi(platform, text.data() + 4, 2).view(), "");
  EXPECT_EQ(Utf16ToAnsi(platform, text.data(), 0).view(), "");
  EXPECT_FALSE(Utf16ToAnsi(platform, nullptr, 4));
}

// tests/data/model/short-names.json: controller driver key "HC" and root hub "RH"; on port 1
// a hub "HUB1" with driver key "KEY1". `fault` is set on all four name queries.
model::UsbModel ShortNames(Fault fault, std::string hubName = "HUB1",
                           std::string driverKey = "KEY1") {
  model::UsbModel m =
      LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/model/short-names.json");
  m.controllers[0].faults = {false, fault, fault};
  model::Port& port = m.controllers[0].rootHub->ports[0];
  port.faults = {false, fault, fault};
  port.device->driverKey = driverKey;
  port.device->hub->name = hubName;
  return m;
}

HANDLE Open(Platform& platform, const char* path) {
  return platform.CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
}

// The four queries as the topology objects ask them: root hub name, controller driver key,
// hub name, device driver key. "-" stands for none.
std::vector<std::string> AskAll(ModelPlatform& platform) {
  const HANDLE hcd = Open(platform, "\\\\.\\HCD0");
  const HANDLE hub = Open(platform, "\\\\.\\RH");
  const NameQuery queries[] = {{IOCTL_USB_GET_ROOT_HUB_NAME, false, false, false, 0},
                               {IOCTL_GET_HCD_DRIVERKEY_NAME, false, true, true, 0},
                               {IOCTL_USB_GET_NODE_CONNECTION_NAME, true, true, false, 1},
                               {IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, true, true, true, 1}};
  std::vector<std::string> names;
  DeviceRequests requests(platform);
  for (const NameQuery& query : queries) {
    const AnsiText name = QueryName(requests, query.perConnection ? hub : hcd, query);
    names.push_back(name ? std::string(name.view()) : "-");
  }
  return names;
}

TEST(NameQuery, MalformedRepliesAreNoneAndTextsEndWithinTheReply) {
  using Names = std::vector<std::string>;
  const std::pair<Fault, Names> cases[] = {
      {Fault::None, {"RH", "HC", "HUB1", "KEY1"}},
      {Fault::NoTerminator, {"RH", "HC", "HUB1", "KEY1"}},
      // An empty name is a name; an empty driver key matches nothing.
      {Fault::BareHeader, {"", "-", "", "-"}}};
  for (const auto& [fault, expected] : cases) {
    ModelPlatform platform(ShortNames(fault));
    EXPECT_EQ(AskAll(platform), expected) << model::NameFaultName(fault);
  }
  for (Fault fault : {Fault::ShortLength, Fault::OddLength, Fault::AbsurdLength, Fault::ProbeFails,
                      Fault::FetchFails, Fault::ConversionFails}) {
    ModelPlatform platform(ShortNames(fault));
    EXPECT_EQ(AskAll(platform), Names(4, "-")) << model::NameFaultName(fault);
  }
  // A 0 unit inside the reply ends the text.
  ModelPlatform zeroInside(ShortNames(Fault::None, "HUB1\0XYZ"s));
  EXPECT_EQ(AskAll(zeroInside)[2], "HUB1");
}

TEST(NameQuery, AnEmptyNameCountedWithTwoTerminatorsIsNoName) {
  // A hub driver that counts the 0 unit twice announces 12 bytes for an empty driver key, more
  // than the probe, and its fetch carries two 0 units.
  HookedPlatform platform(ShortNames(Fault::None));
  platform.onIoctl = [](HANDLE, DWORD code, void*, DWORD, void* out,
                        DWORD outSize) -> std::optional<DWORD> {
    if (code != IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME) return std::nullopt;
    if (outSize < 10) return ERROR_INSUFFICIENT_BUFFER;
    const unsigned char reply[12] = {1, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(out, reply, outSize < 12 ? outSize : 12);
    return ERROR_SUCCESS;
  };
  const HANDLE hub = Open(platform, "\\\\.\\RH");
  DeviceRequests requests(platform);
  EXPECT_FALSE(QueryName(requests, hub, {IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, true, true, true, 1}));
}

TEST(NameQuery, LongestAcceptedReplyIs64KiB) {
  // 8 header bytes + 32763 units + the 0 unit = 65536 bytes; one unit more is refused.
  ModelPlatform longest(ShortNames(Fault::None, "HUB1", std::string(32763, 'N')));
  EXPECT_EQ(AskAll(longest)[3], std::string(32763, 'N'));
  ModelPlatform tooLong(ShortNames(Fault::None, "HUB1", std::string(32764, 'N')));
  EXPECT_EQ(AskAll(tooLong)[3], "-");
}

// ---- friendly names from the device-installation database ----

model::UsbModel Database(const std::vector<std::pair<std::string, std::string>>& devices) {
  model::UsbModel m;
  for (const auto& [key, name] : devices) m.otherDevices.push_back({key, name, {}});
  return m;
}

TEST(FriendlyName, PlatformThatKeepsAskingForMoreIsGivenUp) {
  HookedPlatform platform(
      Database({{"K", "Growing"}, {"K", "Steady"}, {"K", "Absurd"}, {"K", "Readable"}}));
  int reads[4] = {};
  platform.onPropertyRead = [&](DWORD device, DWORD, BYTE*, DWORD size,
                                DWORD* required) -> std::optional<DWORD> {
    EXPECT_LE(size, 65536u);
    const int round = reads[device]++;
    const DWORD asked[] = {50 + 10 * static_cast<DWORD>(round), 50, 0x7FFFFFFF};
    if (device == 3) return std::nullopt;
    *required = asked[device];
    return ERROR_INSUFFICIENT_BUFFER;
  };
  EXPECT_EQ(FindFriendlyName(platform, "K").view(), "Readable");
  EXPECT_LT(reads[0], 10);
  EXPECT_EQ(reads[1], 2);
  EXPECT_EQ(reads[2], 1);
}

// The database answers `text` for every property, stored without its 0 byte.
std::optional<DWORD> Unterminated(const std::string& text, BYTE* buffer, DWORD size,
                                  DWORD* required) {
  *required = static_cast<DWORD>(text.size());
  if (size < text.size()) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(buffer, text.data(), text.size());
  return ERROR_SUCCESS;
}

TEST(FriendlyName, PropertiesStoredWithoutTerminatorEndWithinTheBuffer) {
  HookedPlatform platform(Database({{"KEY1X", "Wrong"}, {"KEY1", "Dongle"}}));
  platform.onPropertyRead = [](DWORD device, DWORD property, BYTE* buffer, DWORD size,
                               DWORD* required) -> std::optional<DWORD> {
    const char* texts[2][2] = {{"KEY1X", "Wrong"}, {"KEY1", "Dongle"}};
    return Unterminated(texts[device][property == SPDRP_FRIENDLYNAME], buffer, size, required);
  };
  EXPECT_EQ(FindFriendlyName(platform, "KEY1").view(), "Dongle");
}

TEST(FriendlyName, SizeReportedBeyondTheBufferIsNeverOffered) {
  HookedPlatform platform(Database({{"KEY", "A Friendly Name Longer Than Its Key"}}));
  std::vector<DWORD> nameReadSizes;
  // The driver-key read succeeds but reports far more than the 4 bytes it was given.
  platform.onPropertyRead = [&](DWORD, DWORD property, BYTE* buffer, DWORD size,
                                DWORD* required) -> std::optional<DWORD> {
    if (property == SPDRP_FRIENDLYNAME) nameReadSizes.push_back(size);
    if (property != SPDRP_DRIVER || size < 4) return std::nullopt;
    std::memcpy(buffer, "KEY", 4);
    *required = 400;
    return ERROR_SUCCESS;
  };
  EXPECT_EQ(FindFriendlyName(platform, "KEY").view(), "A Friendly Name Longer Than Its Key");
  ASSERT_FALSE(nameReadSizes.empty());
  EXPECT_EQ(nameReadSizes[0], 4u);
}

// A detection asks the hub drivers each thing once: the tree item, the node-table row, the label
// and the detail lines share one reply. Expected counts: tests/data/model/hub-driver-requests.txt.
TEST(HubDriverRequests, EachRequestAtMostOncePerDetection) {
  std::ifstream table(std::string(KELDAR_TEST_DATA_DIR) + "/model/hub-driver-requests.txt");
  std::string line;
  int rows = 0;
  while (std::getline(table, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream row(line);
    std::string fixture;
    std::size_t opens, controllerKey, rootHubName, nodeInfo, connectionInfo, hubName, deviceKey;
    row >> fixture >> opens >> controllerKey >> rootHubName >> nodeInfo >> connectionInfo >>
        hubName >> deviceKey;
    ASSERT_TRUE(row) << line;
    ModelPlatform platform(
        LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/fixtures/" + fixture + ".json"));
    MemoryTreeView tree;
    MemoryListView deviceList, detailList;
    MemoryNotifier notifier;
    DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);
    tree.SetSelectionHandler([&] { inspector.OnTreeSelChanged(); });
    ASSERT_TRUE(inspector.Detect()) << fixture;
    for (const NodeEntry& node : inspector.Nodes().Rows()) tree.Select(node.treeItem);

    const ModelPlatform::Counters& c = platform.Counts();
    EXPECT_EQ(c.createFileCalls - c.failedOpens, opens) << fixture;
    EXPECT_EQ(c.hcdDriverKeyQueries, controllerKey) << fixture;
    EXPECT_EQ(c.rootHubNameQueries, rootHubName) << fixture;
    EXPECT_EQ(c.nodeInformationQueries, nodeInfo) << fixture;
    EXPECT_EQ(c.connectionInformationQueries, connectionInfo) << fixture;
    EXPECT_EQ(c.connectionNameQueries, hubName) << fixture;
    EXPECT_EQ(c.connectionDriverKeyQueries, deviceKey) << fixture;
    ++rows;
  }
  EXPECT_EQ(rows, 5);
}

}  // namespace
}  // namespace keldar
