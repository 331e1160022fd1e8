// The console front end as a user runs it: options, exit statuses, error lines, the text
// layout, the bundled demo topology, exports and their replay, and sysfs trees as `--sysfs DIR`
// and as the live /sys.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/keldar_cli.h"
#include "platform/linux/sysfs_scanner.h"
#include "support/scratch_path.h"
#ifndef _WIN32
#include "support/sysfs_tree.h"
#endif

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
#ifndef _WIN32
using keldar::testing::SysfsTree;
#endif


struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Keldar(const std::vector<std::string>& args,
               const keldar::cli::Machine& machine = keldar::cli::ThisMachine()) {
  std::vector<const char*> argv{"keldar"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  const int status = keldar::cli::RunKeldar(static_cast<int>(argv.size()), argv.data(), out,
                                            err, machine);
  return {status, out.str(), err.str()};
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// Expected outputs kept as files under tests/data: the text layout exactly as printed.
std::string ReadData(const std::string& name) {
  return ReadFile(fs::path(KELDAR_TEST_DATA_DIR) / name);
}

std::string Fixture(const std::string& name) {
  return (fs::path(KELDAR_TEST_DATA_DIR) / "fixtures" / name).string();
}

// A file of the test's own, removed afterwards.
class TopologyFile {
 public:
  TopologyFile(const std::string& name, const std::string& content)
      : path_(keldar::testing::ScratchPath(name)) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~TopologyFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  std::string Path() const { return path_.string(); }

 private:
  fs::path path_;
};

int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

// A failed run prints nothing but one error line, starting "keldar: " and naming `what`.
void ExpectOneErrorLine(const Outcome& run, int status, const std::string& what = "") {
  EXPECT_EQ(run.status, status) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(Lines(run.err), 1) << run.err;
  EXPECT_EQ(run.err.rfind("keldar: ", 0), 0u) << run.err;
  EXPECT_NE(run.err.find(what), std::string::npos) << run.err;
}

TEST(Cli, HelpAndVersionSucceed) {
  const Outcome help = Keldar({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--demo", "--topology FILE", "--sysfs DIR", "--export FILE", "--json",
                             "--details", "--version"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  EXPECT_EQ(help.err, "");
  const Outcome version = Keldar({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "keldar 1.0.0\n");
}

TEST(Cli, UsageErrorsExitWithTwoAndOneLine) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--bogus"}, {"--topology"}, {"--demo", "--topology", "x.json"},
           {"--sysfs", "/sys", "--demo"}, {"--topology", "x.json", "--sysfs", "/sys"},
           {"--export"}, {"extra"}})
    ExpectOneErrorLine(Keldar(args), 2, args[0]);
}

TEST(Cli, TopologyFileThatCannotBeReadOrParsedExitsWithTwo) {
  const std::string missing = Fixture("no-such-topology.json");
  ExpectOneErrorLine(Keldar({"--topology", missing}), 2, missing);
  const TopologyFile badField("bad-vendor.json", R"({"format": "keldar-topology", "version": 1,
    "computerName": "PC", "controllers": [{"driverKey": "k", "rootHub": {"name": "R",
    "hubDescriptor": {"bNumberOfPorts": 1}, "ports": [{"port": 1, "device": {
    "descriptor": {"idVendor": "0x1FFFF", "idProduct": 1}}}]}}]})");
  const Outcome malformed = Keldar({"--topology", badField.Path(), "--json"});
  ExpectOneErrorLine(malformed, 2, badField.Path());
  EXPECT_NE(malformed.err.find("controllers[0].rootHub.ports[0].device.descriptor.idVendor"),
            std::string::npos) << malformed.err;
  const TopologyFile badJson("bad-json.json", "{\n  \"format\": \"keldar-topology\",,\n}");
  ExpectOneErrorLine(Keldar({"--topology", badJson.Path()}), 2, badJson.Path() + ":2:");
}
TEST(Cli, TextShowsTheTreeTheDeviceListAndEachNoticeAsItsBoxDoes) {
  const std::string path = Fixture("no-known-key.json");
  const Outcome run = Keldar({"--topology", path});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Source: topology:" + path + "\n" + ReadData("cli/no-known-key.txt"));
  EXPECT_EQ(run.err, "");
}

TEST(Cli, DetailsGoUnderTheirTreeItem) {
  const Outcome run = Keldar({"--topology", Fixture("no-known-key.json"), "--details"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("    Standard Enhanced PCI to USB Host Controller\n"
                         "      | Host Controller:      {36fc9e60-c465-11cf-8056-444553540000}\\0000\n"
                         "      RootHub\n"
                         "        | Root Hub:             USB#ROOT_HUB20#4&88888888&0#"
                         "{f18a0e88-c30c-11d0-8815-00a0c906bed8}\n"
                         "        | HubIsBusPowered:      Self Power\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("  NO-KNOWN-KEY\n    | NO-KNOWN-KEY\n"), std::string::npos);
}

TEST(Cli, BuiltInDemoIsSamplesDemoJson) {
  EXPECT_EQ(keldar::cli::DemoTopology(),
            ReadFile(fs::path(KELDAR_SOURCE_DIR) / "samples" / "demo.json"));
}

// Every node of a JSON tree with its parent, parents first.
void Walk(const json& node, const json* parent, std::vector<std::pair<const json*, const json*>>& all) {
  all.emplace_back(&node, parent);
  for (const json& child : node["children"]) Walk(child, &node, all);
}

std::string Detail(const json& node, const std::string& label) {
  for (const json& line : node["details"])
    if (line[0] == label) return line[1];
  return "";
}

TEST(Cli, DemoIsADeskWithKeysAndSaysSo) {
  const Outcome text = Keldar({"--demo"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out.rfind("Source: the demo topology bundled with keldar (not this computer's USB)\n", 0), 0u);

  const Outcome run = Keldar({"--demo", "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  const json demo = json::parse(run.out);
  EXPECT_EQ(demo["source"], "demo");
  ASSERT_EQ(demo["tree"].size(), 1u);
  EXPECT_EQ(demo["tree"][0]["children"].size(), 3u);

  std::vector<std::pair<const json*, const json*>> nodes;
  Walk(demo["tree"][0], nullptr, nodes);
  int lowSpeed = 0;
  bool keyBehindHub = false;
  for (const auto& [node, parent] : nodes) {
    if ((*node)["kind"] != "PortDevice" || Detail(*node, "DeviceDriverKeyName").empty()) continue;
    if (Detail(*node, "High Speed:") == "No") ++lowSpeed;
    if (Detail(*node, "idVendor:") == "0x 096E" && (*parent)["kind"] == "Hub" &&
        (*parent)["text"] != "RootHub")
      keyBehindHub = true;
  }
  EXPECT_EQ(lowSpeed, 2);
  EXPECT_TRUE(keyBehindHub);

  // Two known keys, and a device of a key maker that is no known model: listed, no notice.
  EXPECT_EQ(demo["notices"].size(), 2u);
  EXPECT_NE(std::find(demo["devices"].begin(), demo["devices"].end(),
                      json{{"coInfo", "Aladdin Knowledge Systems"},
                           {"deviceName", "{36fc9e60-c465-11cf-8056-444553540000}\\0009"},
                           {"vendorId", "0x 0529"},
                           {"productId", "0x 0002"}}),
            demo["devices"].end());
  EXPECT_EQ(demo["keyFound"], true);
}

// --export writes the topology a detection used; replaying that file with --topology shows
// exactly what the detection showed, byte for byte once the "source" line is set aside.
std::string WithoutSource(const std::string& report, const std::string& source) {
  const std::string line = "  \"source\": " + json(source).dump() + ",\n";
  const std::size_t at = report.find(line);
  if (at == std::string::npos) return "(no source line " + line + ") " + report;
  return report.substr(0, at) + report.substr(at + line.size());
}

void ExpectReplayShowsTheSame(std::vector<std::string> args, const std::string& source) {
  const TopologyFile exported("replay.json", "");
  fs::remove(exported.Path());
  args.insert(args.end(), {"--json", "--export", exported.Path()});
  const Outcome first = Keldar(args);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  ASSERT_TRUE(fs::exists(exported.Path()));
  const Outcome replay = Keldar({"--topology", exported.Path(), "--json"});
  ASSERT_EQ(replay.status, 0) << replay.err;
  EXPECT_EQ(WithoutSource(replay.out, "topology:" + exported.Path()),
            WithoutSource(first.out, source));
}

TEST(Export, EveryFixtureAndTheDemoReplayToTheSameReport) {
  int replayed = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(KELDAR_TEST_DATA_DIR) / "fixtures")) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json" || name.ends_with(".golden.json")) continue;
    SCOPED_TRACE(name);
    const std::string path = entry.path().string();
    ExpectReplayShowsTheSame({"--topology", path}, "topology:" + path);
    ++replayed;
  }
  EXPECT_GE(replayed, 9);
  ExpectReplayShowsTheSame({"--demo"}, "demo");
}

TEST(Export, UnwritableExportPrintsOnlyItsErrorAndExitsWithOne) {
  const fs::path nowhere = fs::temp_directory_path() / "keldar-export-test-no-such-dir" / "x.json";
  for (const fs::path& target : {nowhere, fs::temp_directory_path()}) {
    const Outcome run = Keldar({"--demo", "--export", target.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("keldar: " + target.string() + ": cannot write the topology file: ", 0),
              0u) << run.err;
    EXPECT_EQ(Lines(run.err), 1) << run.err;
  }
  EXPECT_FALSE(fs::exists(nowhere.parent_path()));
}

TEST(Export, UnavailableComputerNameExitsWithOneAndWritesNoExport) {
  const TopologyFile nameless("nameless.json",
                              R"({"format": "keldar-topology", "version": 1, "controllers": []})");
  const TopologyFile exported("not-written.json", "");
  fs::remove(exported.Path());
  const Outcome run = Keldar({"--topology", nameless.Path(), "--export", exported.Path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "keldar: the computer name is not available (error 2)\n");
  EXPECT_FALSE(fs::exists(exported.Path()));
}

#ifndef _WIN32
// Sysfs names carry colons, which Windows file names cannot. The scanner runs here without this
// machine's hardware database, on a computer of a fixed name, so that names come from the tree
// alone; `scanned` collects the roots it was asked for; `redirect`, when set, is scanned
// instead of whatever root is asked for.
struct TestMachine {
  std::vector<std::string> scanned;
  std::string redirect;
  std::string computerName = "DESK-7";
  keldar::cli::Machine Machine() {
    return {[this](const std::string& root) {
      scanned.push_back(root);
      keldar::model::UsbModel usb = keldar::ScanSysfs(redirect.empty() ? root : redirect, {});
      usb.computerName = computerName;
      return usb;
    }};
  }
};

TEST(LiveCli, SysfsTreeShowsItsControllersDevicesAndKeyNotice) {
  const SysfsTree tree("desktop.json");
  TestMachine machine;
  const Outcome run = Keldar({"--sysfs", tree.Root()}, machine.Machine());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(machine.scanned, std::vector<std::string>{tree.Root()});
  EXPECT_EQ(run.out, "Source: sysfs:" + tree.Root() + "\n" + ReadData("cli/desktop-sysfs.txt"));
  EXPECT_EQ(run.err, "");
  // The same detection as JSON, exported and replayed, shows the same report.
  ExpectReplayShowsTheSame({"--sysfs", tree.Root()}, "sysfs:" + tree.Root());
}

// Trees copied from Debian's kernel under QEMU print what keldar printed there for a plain user,
// who reads sysfs alone (tests/kernel/*.user.json); only the source differs.
TEST(LiveCli, TreesCopiedFromARealKernelPrintWhatThatKernelPrinted) {
  const std::vector<std::pair<std::string, std::string>> copies = {
      {"qemu-office.json", "office.user.json"},
      {"qemu-superspeed-keys.json", "two-keys-superspeed.user.json"},
      {"qemu-low-speed.json", "no-known-key.user.json"},
  };
  for (const auto& [copy, printed] : copies) {
    const SysfsTree tree(copy);
    TestMachine machine;
    machine.computerName = "keldar-vm";
    const Outcome run = Keldar({"--sysfs", tree.Root(), "--json"}, machine.Machine());
    ASSERT_EQ(run.status, 0) << copy << ": " << run.err;
    std::string expected = ReadFile(fs::path(KELDAR_SOURCE_DIR) / "tests/kernel" / printed);
    const std::string live = "\"source\": \"live\"";
    ASSERT_NE(expected.find(live), std::string::npos) << printed;
    expected.replace(expected.find(live), live.size(), "\"source\": \"sysfs:" + tree.Root() + "\"");
    EXPECT_EQ(run.out, expected) << copy;
  }
}

TEST(LiveCli, PlainKeldarReadsTheLiveSysfs) {
  const SysfsTree tree("desktop.json");
  TestMachine machine;
  machine.redirect = tree.Root();
  const Outcome text = Keldar({}, machine.Machine());
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(machine.scanned, std::vector<std::string>{"/sys"});
  EXPECT_EQ(text.out.rfind("Source: this computer's USB\n\nDevice tree:\n  DESK-7\n", 0), 0u) << text.out;
  const Outcome asJson = Keldar({"--json"}, machine.Machine());
  ASSERT_EQ(asJson.status, 0) << asJson.err;
  EXPECT_EQ(json::parse(asJson.out)["source"], "live");
}

TEST(LiveCli, RootWithoutAUsbTreeExitsWithTwoAndNamesIt) {
  const SysfsTree empty;
  const TopologyFile notSysfs("not-sysfs", "");
  // Live USB on Linux is the sysfs at /sys; one without a USB tree leaves nothing to detect.
  std::vector<std::string> scanned;
  const keldar::cli::Machine machine{[&](const std::string& root) {
    scanned.push_back(root);
    return keldar::ScanSysfs(notSysfs.Path(), {});
  }};
  const Outcome live = Keldar({}, machine);
  EXPECT_EQ(live.status, 2);
  EXPECT_EQ(scanned, std::vector<std::string>{"/sys"});
  EXPECT_EQ(live.out, "");
  EXPECT_EQ(live.err, "keldar: live USB is not available: \"" + notSysfs.Path() +
                          "\" is not a directory (keldar --demo detects on the bundled demo "
                          "topology)\n");
  TestMachine testMachine;
  for (const std::string& root : {empty.Root() + "/nowhere", empty.Root()}) {
    const Outcome run = Keldar({"--sysfs", root, "--json"}, testMachine.Machine());
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Lines(run.err), 1) << run.err;
    EXPECT_EQ(run.err.rfind("keldar: \"" + root + "\" ", 0), 0u) << run.err;
  }
}

TEST(LiveCli, ThisMachineWithoutUsbSaysSo) {
  std::error_code error;
  if (fs::exists("/sys/bus/usb/devices", error)) GTEST_SKIP() << "this machine has USB";
  const Outcome run = Keldar({});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("keldar: live USB is not available: \"/sys\" ", 0), 0u) << run.err;
}

TEST(LiveCli, ExportThatFailsWhileWritingIsReported) {
  const SysfsTree tree("desktop.json");
  TestMachine machine;
  const Outcome run = Keldar({"--sysfs", tree.Root(), "--export", "/dev/full"}, machine.Machine());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "keldar: /dev/full: cannot write the topology file: No space left on device\n");
}
#endif

}  // namespace
