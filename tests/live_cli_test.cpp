// The console front end on sysfs: a fake kernel tree (tests/data/sysfs/*.json, built in a
// temporary folder) as `--sysfs DIR` and as the live /sys, roots that hold no USB tree, and
// exports of a scanned tree. Sysfs names carry colons, which Windows file names cannot.
#if !defined(_WIN32)

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/keldar_cli.h"
#include "platform/model/sysfs_scanner.h"
#include "tests/sysfs_tree.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Narrow literals are GBK in this program; the console prints UTF-8.
std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

using keldar::testing::SysfsTree;

// The scanner without this machine's hardware database, on a computer of a fixed name, so
// that names come from the tree alone. `scanned` collects the roots it was asked for;
// `redirect`, when set, is scanned instead of whatever root is asked for.
struct TestMachine {
  std::vector<std::string> scanned;
  std::string redirect;

  keldar::cli::Machine Machine() {
    return {[this](const std::string& root) {
      scanned.push_back(root);
      keldar::model::UsbModel usb = keldar::ScanSysfs(redirect.empty() ? root : redirect, {});
      usb.computerName = "DESK-7";
      return usb;
    }};
  }
};

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Keldar(const std::vector<std::string>& args, TestMachine& machine) {
  std::vector<const char*> argv{"keldar"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  const int status =
      keldar::cli::RunKeldar(static_cast<int>(argv.size()), argv.data(), out, err, machine.Machine());
  return {status, out.str(), err.str()};
}

int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

std::string EmptyPorts(const std::string& indent, int from, int to) {
  std::string lines;
  for (int port = from; port <= to; ++port)
    lines += indent + "[Port" + std::to_string(port) + "]NoDeviceConnected\n";
  return lines;
}

TEST(LiveCli, SysfsTreeShowsItsControllersDevicesAndKeyNotice) {
  const SysfsTree tree("desktop.json");
  TestMachine machine;
  const Outcome run = Keldar({"--sysfs", tree.Root()}, machine);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(machine.scanned, std::vector<std::string>{tree.Root()});
  EXPECT_EQ(run.out,
            "Source: sysfs:" + tree.Root() + "\n"
            "\n"
            "Device tree:\n"
            "  DESK-7\n"
            "    xHCI Host Controller\n"
            "      RootHub\n"
            "        USB Receiver\n"
            "        [Port2]NoDeviceConnected\n"
            "        USB2.0 Hub\n"
            "          [Port1]NoDeviceConnected\n"
            "          USB Key\n"
            "          [Port3]NoDeviceConnected\n"
            "          Dell KB216 Wired Keyboard\n" +
                EmptyPorts("        ", 4, 12) +
            "    xHCI Host Controller\n"
            "      RootHub\n" +
                EmptyPorts("        ", 1, 2) +
            "    USB/IP Virtual Host Controller\n"
            "      RootHub\n"
            "        DataTraveler 3.0\n" +
                EmptyPorts("        ", 2, 8) +
            "\n"
            "Device list:\n"
            "  Co. Info        Device Name                 Vender ID   Product ID\n"
            "  Logitech Inc.   USB Receiver                0x 046D     0x C52B\n"
            "  Unknown         USB Key                     0x 096E     0x 0201\n"
            "  Unknown         Dell KB216 Wired Keyboard   0x 413C     0x 2113\n"
            "  Unknown         DataTraveler 3.0            0x 0951     0x 1666\n"
            "\n"
            "Notices:\n" +
                Utf8(u8"  [1] Keldar - 技术支持 400-000-0000\n"
                     u8"      检测到以知加密狗\n"
                     u8"      \n"
                     u8"      加密狗型号：飞天诚信 -ROCKEY 2 感谢您的使用！！\n"
                     u8"       \n"));
  EXPECT_EQ(run.err, "");

  const Outcome asJson = Keldar({"--sysfs", tree.Root(), "--json"}, machine);
  ASSERT_EQ(asJson.status, 0) << asJson.err;
  const json report = json::parse(asJson.out);
  EXPECT_EQ(report["source"], "sysfs:" + tree.Root());
  EXPECT_EQ(report["notices"],
            json::array({Utf8(u8"检测到以知加密狗\r\n\r\n加密狗型号：飞天诚信 -ROCKEY 2 感谢您的使用！！\r\n ")}));
  EXPECT_EQ(report["keyFound"], true);
}

TEST(LiveCli, PlainKeldarReadsTheLiveSysfs) {
  const SysfsTree tree("desktop.json");
  TestMachine machine;
  machine.redirect = tree.Root();
  const Outcome text = Keldar({}, machine);
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(machine.scanned, std::vector<std::string>{"/sys"});
  EXPECT_EQ(text.out.rfind("Source: this computer's USB\n\nDevice tree:\n  DESK-7\n", 0), 0u) << text.out;

  const Outcome asJson = Keldar({"--json"}, machine);
  ASSERT_EQ(asJson.status, 0) << asJson.err;
  EXPECT_EQ(json::parse(asJson.out)["source"], "live");
}

TEST(LiveCli, RootWithoutAUsbTreeExitsWithTwoAndNamesIt) {
  const SysfsTree empty;
  TestMachine machine;
  const std::string missing = empty.Root() + "/nowhere";
  for (const std::string& root : {missing, empty.Root()}) {
    SCOPED_TRACE(root);
    const Outcome run = Keldar({"--sysfs", root, "--json"}, machine);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(Lines(run.err), 1) << run.err;
    EXPECT_EQ(run.err.rfind("keldar: \"" + root + "\" ", 0), 0u) << run.err;
  }

}

TEST(LiveCli, ThisMachineWithoutUsbSaysSo) {
  std::error_code error;
  if (fs::exists("/sys/bus/usb/devices", error)) GTEST_SKIP() << "this machine has USB";
  std::ostringstream out, err;
  const char* argv[] = {"keldar"};
  EXPECT_EQ(keldar::cli::RunKeldar(1, argv, out, err), 2);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(err.str().rfind("keldar: live USB is not available: \"/sys\" ", 0), 0u) << err.str();
}

TEST(LiveCli, ScannedTreeExportReplaysToTheSameReport) {
  const SysfsTree tree("desktop.json");
  const fs::path exported = fs::path(tree.Root()) / "exported.json";
  TestMachine machine;
  const Outcome first = Keldar({"--sysfs", tree.Root(), "--json", "--export", exported.string()}, machine);
  ASSERT_EQ(first.status, 0) << first.err;
  const Outcome replay = Keldar({"--topology", exported.string(), "--json"}, machine);
  ASSERT_EQ(replay.status, 0) << replay.err;

  json detected = json::parse(first.out);
  json replayed = json::parse(replay.out);
  EXPECT_EQ(detected["source"], "sysfs:" + tree.Root());
  EXPECT_EQ(replayed["source"], "topology:" + exported.string());
  EXPECT_EQ(replayed["computerName"], "DESK-7");
  // Byte for byte once the source is set aside.
  const std::string sourceLine = "  \"source\": \"sysfs:" + tree.Root() + "\",\n";
  const std::string replaySourceLine = "  \"source\": \"topology:" + exported.string() + "\",\n";
  std::string detectedText = first.out, replayedText = replay.out;
  ASSERT_NE(detectedText.find(sourceLine), std::string::npos);
  ASSERT_NE(replayedText.find(replaySourceLine), std::string::npos);
  detectedText.erase(detectedText.find(sourceLine), sourceLine.size());
  replayedText.erase(replayedText.find(replaySourceLine), replaySourceLine.size());
  EXPECT_EQ(replayedText, detectedText);
}

TEST(LiveCli, ExportThatFailsWhileWritingIsReported) {
  const SysfsTree tree("desktop.json");
  TestMachine machine;
  const Outcome run = Keldar({"--sysfs", tree.Root(), "--export", "/dev/full"}, machine);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "keldar: /dev/full: cannot write the topology file: No space left on device\n");
}

}  // namespace

#endif
