// The console front end as a user runs it: options, exit statuses, error lines, the text
// layout, and the bundled demo topology.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/keldar_cli.h"
#include "tests/scratch_path.h"
#include "platform/model/sysfs_scanner.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Narrow literals are GBK in this program; the console prints UTF-8.
std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Keldar(std::initializer_list<std::string> args) {
  std::vector<const char*> argv{"keldar"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  const int status = keldar::cli::RunKeldar(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

std::string Fixture(const std::string& name) {
  return (fs::path(KELDAR_TEST_DATA_DIR) / "fixtures" / name).string();
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// A topology file of the test's own, removed afterwards.
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
  for (const auto& args : {std::initializer_list<std::string>{"--bogus"},
                           std::initializer_list<std::string>{"--topology"},
                           std::initializer_list<std::string>{"--demo", "--topology", "x.json"},
                           std::initializer_list<std::string>{"--sysfs", "/sys", "--demo"},
                           std::initializer_list<std::string>{"--topology", "x.json", "--sysfs", "/sys"},
                           std::initializer_list<std::string>{"--export"},
                           std::initializer_list<std::string>{"extra"}}) {
    const Outcome run = Keldar(args);
    EXPECT_EQ(run.status, 2) << *args.begin();
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Lines(run.err), 1) << run.err;
    EXPECT_EQ(run.err.rfind("keldar: ", 0), 0u) << run.err;
  }
}

TEST(Cli, TopologyFileThatCannotBeReadOrParsedExitsWithTwo) {
  const std::string missing = Fixture("no-such-topology.json");
  const Outcome unreadable = Keldar({"--topology", missing});
  EXPECT_EQ(unreadable.status, 2);
  EXPECT_EQ(unreadable.out, "");
  EXPECT_EQ(Lines(unreadable.err), 1);
  EXPECT_NE(unreadable.err.find(missing), std::string::npos) << unreadable.err;

  const TopologyFile badField("bad-vendor.json", R"({"format": "keldar-topology", "version": 1,
    "computerName": "PC", "controllers": [{"driverKey": "k", "rootHub": {"name": "R",
    "hubDescriptor": {"bNumberOfPorts": 1}, "ports": [{"port": 1, "device": {
    "descriptor": {"idVendor": "0x1FFFF", "idProduct": 1}}}]}}]})");
  const Outcome malformed = Keldar({"--topology", badField.Path(), "--json"});
  EXPECT_EQ(malformed.status, 2);
  EXPECT_EQ(malformed.out, "");
  EXPECT_EQ(Lines(malformed.err), 1);
  EXPECT_NE(malformed.err.find(badField.Path()), std::string::npos) << malformed.err;
  EXPECT_NE(malformed.err.find("controllers[0].rootHub.ports[0].device.descriptor.idVendor"),
            std::string::npos)
      << malformed.err;

  const TopologyFile badJson("bad-json.json", "{\n  \"format\": \"keldar-topology\",,\n}");
  const Outcome broken = Keldar({"--topology", badJson.Path()});
  EXPECT_EQ(broken.status, 2);
  EXPECT_EQ(Lines(broken.err), 1);
  EXPECT_NE(broken.err.find(badJson.Path() + ":2:"), std::string::npos) << broken.err;
}

TEST(Cli, UnavailableComputerNameExitsWithOne) {
  const TopologyFile nameless("nameless.json",
                              R"({"format": "keldar-topology", "version": 1, "controllers": []})");
  const Outcome run = Keldar({"--topology", nameless.Path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "keldar: the computer name is not available (error 2)\n");
}

#ifndef _WIN32
// Live USB on Linux is the sysfs at /sys; a sysfs without a USB tree leaves nothing to detect.
TEST(Cli, LiveUsbWithoutASysfsUsbTreeSaysSoAndExitsWithTwo) {
  const TopologyFile notSysfs("not-sysfs", "");
  std::vector<std::string> scanned;
  const keldar::cli::Machine machine{[&](const std::string& root) {
    scanned.push_back(root);
    return keldar::ScanSysfs(notSysfs.Path(), {});
  }};
  const char* argv[] = {"keldar"};
  std::ostringstream out, err;
  EXPECT_EQ(keldar::cli::RunKeldar(1, argv, out, err, machine), 2);
  EXPECT_EQ(scanned, std::vector<std::string>{"/sys"});
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str(), "keldar: live USB is not available: \"" + notSysfs.Path() +
                           "\" is not a directory (keldar --demo detects on the bundled demo "
                           "topology)\n");
}
#endif

TEST(Cli, TextShowsTheTreeTheDeviceListAndEachNoticeAsItsBoxDoes) {
  const std::string path = Fixture("no-known-key.json");
  const Outcome run = Keldar({"--topology", path});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string key2 = "{36fc9e60-c465-11cf-8056-444553540000}\\0002";
  EXPECT_EQ(run.out,
            "Source: topology:" + path + "\n"
            "\n"
            "Device tree:\n"
            "  NO-KNOWN-KEY\n"
            "    Standard Enhanced PCI to USB Host Controller\n"
            "      RootHub\n"
            "        USB Token\n"
            "        " + key2 + "\n"
            "\n"
            "Device list:\n"
            "  Co. Info                     Device Name                                   Vender ID   Product ID\n"
            "  Rainbow Technologies, Inc.   USB Token                                     0x 04B9     0x 0305\n"
            "  Aladdin Knowledge Systems    " + key2 + "   0x 0529     0x 0002\n"
            "\n"
            "Notices:\n" +
            Utf8(u8"  [1] Keldar - 技术支持 400-000-0000\n"
                 u8"      非常抱歉的通知:\n"
                 u8"      \n"
                 u8"      \n"
                 u8"      \n"
                 u8"      没有检测到以知加密狗,请联系我们，我们将免费为您辨别您的加密狗型号\n"
                 u8"      我们的网站：https://keldar.example.org  电话：400-000-0000  \n"
                 u8"      \n"
                 u8"      感谢您的使用！！\n"
                 u8"       \n"));
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

// Every node of a JSON tree, parents first.
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

}  // namespace
