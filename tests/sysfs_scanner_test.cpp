// The sysfs scanner against fake trees shaped like a kernel's (tests/data/sysfs/NAME.json, built
// in a temporary folder at test time): each scans to the topology in NAME.golden.json (listed
// at configure time; on a mismatch the scan is written beside it as NAME.actual.json). Sysfs
// names carry colons, which Windows file names cannot, so these run on Linux only.
#if !defined(_WIN32)

#include "backends/linux/sysfs_scanner.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "model/topology_file.h"
#include "support/sysfs_tree.h"
#include "support/test_data.h"

namespace keldar {
namespace {

namespace fs = std::filesystem;

const char* const kTrees[] = {
#include "sysfs_cases.inc"
};

const model::Device& DeviceAt(const model::Hub& hub, int number) {
  for (const auto& port : hub.ports)
    if (port.port == number && port.device) return *port.device;
  throw std::logic_error("no device on port " + std::to_string(number));
}

std::vector<int> OccupiedPorts(const model::Hub& hub) {
  std::vector<int> numbers;
  for (const auto& port : hub.ports)
    if (port.device) numbers.push_back(port.port);
  return numbers;
}

std::string ScanError(const std::string& root) {
  try {
    ScanSysfs(root, {});
  } catch (const SysfsError& error) {
    return error.what();
  }
  return "(no error)";
}

class SysfsTrees : public ::testing::TestWithParam<const char*> {};

TEST_P(SysfsTrees, ScanMatchesTheGoldenTopology) {
  const testing::SysfsTree tree(std::string(GetParam()) + ".json");
  // The usbip tool's records, which live outside sysfs, are the tree's files under var/.
  SysfsScanOptions options;
  options.usbipStateRoot = tree.Path("var/run/vhci_hcd").string();
  model::UsbModel scanned = ScanSysfs(tree.Root(), options);
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(scanned.computerName, std::string(host));
  scanned.computerName = "SYSFS-TEST";
  const std::string written = WriteTopology(scanned);
  const fs::path golden =
      fs::path(KELDAR_TEST_DATA_DIR) / "sysfs" / (std::string(GetParam()) + ".golden.json");
  if (written == testing::ReadFile(golden)) return;
  const fs::path actual = fs::path(golden).replace_extension().replace_extension(".actual.json");
  std::ofstream(actual, std::ios::binary) << written;
  ADD_FAILURE() << "the scan differs from " << golden.string() << "; it is written to "
                << actual.string();
}

INSTANTIATE_TEST_SUITE_P(, SysfsTrees, ::testing::ValuesIn(kTrees));

TEST(SysfsScanner, HardwareDatabaseNamesGoBeforeProductStrings) {
  const testing::SysfsTree tree("desktop.json");
  SysfsScanOptions options;
  options.modelNames = [](const std::string& key) -> std::optional<std::string> {
    if (key == "usb:v096Ep0201*") return "Protection key";
    if (key == "pci:v00008086d0000A36Dsv00001028sd0000085Cbc0Csc03i30") return "Cannon Lake xHCI";
    return std::nullopt;
  };
  const model::UsbModel model = ScanSysfs(tree.Root(), options);
  ASSERT_EQ(model.controllers.size(), 3u);
  EXPECT_EQ(model.controllers[0].friendlyName, "Cannon Lake xHCI");
  EXPECT_EQ(model.controllers[1].friendlyName, "Cannon Lake xHCI");
  EXPECT_EQ(model.controllers[2].friendlyName, "USB/IP Virtual Host Controller");
  const model::Hub& hub = *DeviceAt(*model.controllers[0].rootHub, 3).hub;
  EXPECT_EQ(DeviceAt(hub, 2).friendlyName, "Protection key");
  EXPECT_EQ(DeviceAt(hub, 4).friendlyName, "Dell KB216 Wired Keyboard");
}

TEST(SysfsScanner, HubUnpluggedWhileTheScanRunsIsLeftOut) {
  const testing::SysfsTree tree("desktop.json");
  SysfsScanOptions options;
  // The receiver on port 1 is read before port 3: the hub goes while the scan is under way.
  options.modelNames = [&](const std::string& key) -> std::optional<std::string> {
    if (key == "usb:v046DpC52B*")
      fs::remove_all(tree.Path("devices/pci0000:00/0000:00:14.0/usb1/1-3"));
    return std::nullopt;
  };
  const model::UsbModel model = ScanSysfs(tree.Root(), options);
  ASSERT_EQ(model.controllers.size(), 3u);
  EXPECT_EQ(OccupiedPorts(*model.controllers[0].rootHub), (std::vector<int>{1}));
  EXPECT_EQ(OccupiedPorts(*model.controllers[2].rootHub), (std::vector<int>{1}));
}

TEST(SysfsScanner, RootThatIsNoSysfsUsbTreeIsRefusedByName) {
  const testing::SysfsTree tree;
  std::ofstream(tree.Path("file")) << "x";
  for (const std::string& root : {tree.Root() + "/missing", tree.Root() + "/file"})
    EXPECT_NE(ScanError(root).find(root), std::string::npos) << ScanError(root);
  fs::create_directories(tree.Path("devices/system"));
  const std::string noUsb = ScanError(tree.Root());
  EXPECT_NE(noUsb.find(tree.Root()), std::string::npos) << noUsb;
  EXPECT_NE(noUsb.find("bus/usb/devices"), std::string::npos) << noUsb;
  // A machine without USB controllers is no error: it has none to show.
  fs::create_directories(tree.Path("bus/usb/devices"));
  EXPECT_TRUE(ScanSysfs(tree.Root(), {}).controllers.empty());
}

}  // namespace
}  // namespace keldar

#endif
