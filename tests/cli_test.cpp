// The console front end as a user runs it: each case of tests/data/cli/cases.txt compared whole
// with its expected output and exit status; then exports replayed with --topology.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/sysfs_scanner.h"
#include "support/run_keldar.h"
#include "support/scratch_path.h"
#include "support/test_data.h"
#ifndef _WIN32
#include "support/sysfs_tree.h"
#endif

namespace {

namespace fs = std::filesystem;
using keldar::testing::Outcome;
using keldar::testing::ReadFile;

// The program with a stand-in for live USB: `live` is scanned when /sys is asked for. The
// computer is named DESK-7 and no hardware database is read, so that names come from the
// tree alone.
Outcome Keldar(const std::vector<std::string>& args, const std::string& live,
              const std::string& computerName = "DESK-7") {
  keldar::cli::Machine machine = keldar::cli::ThisMachine();
  machine.scanSysfs = [live, computerName](const std::string& root) {
    keldar::model::UsbModel usb = keldar::ScanSysfs(root == "/sys" ? live : root, {});
    usb.computerName = computerName;
    return usb;
  };
  return keldar::testing::RunKeldar(args, machine);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(Cli, EveryCaseGivesItsExpectedOutputAndStatus) {
  const fs::path data = KELDAR_TEST_DATA_DIR;
  const fs::path scratch = keldar::testing::ScratchPath("cli");
  fs::create_directories(scratch);
#ifndef _WIN32
  const keldar::testing::SysfsTree tree("desktop.json");
  const std::vector<std::pair<std::string, std::string>> places = {
      {"{data}", data.string()}, {"{tmp}", scratch.string()}, {"{sysfs}", tree.Root()}};
#else
  const std::vector<std::pair<std::string, std::string>> places = {{"{data}", data.string()},
                                                                   {"{tmp}", scratch.string()}};
#endif
  std::istringstream cases(ReadFile(data / "cli" / "cases.txt"));
  int run = 0;
  for (std::string line; std::getline(cases, line);) {
    if (line.empty() || line[0] == '#') continue;
    for (const auto& [name, place] : places) line = Replaced(line, name, place);
    std::istringstream fields(line);
    std::string where, expected, live = places.back().second;
    int status = -1;
    fields >> where >> status >> expected;
#ifdef _WIN32
    if (where == "linux") continue;
#else
    if (where == "windows") continue;
#endif
    std::vector<std::string> args;
    for (std::string arg; fields >> arg;) {
      if (arg.rfind("live=", 0) == 0)
        live = arg.substr(5);
      else
        args.push_back(arg);
    }
    const Outcome outcome = Keldar(args, live);
    std::string printed = outcome.out + (outcome.err.empty() ? "" : "--- stderr\n" + outcome.err);
    for (const auto& [name, place] : places) printed = Replaced(printed, place, name);
    const fs::path expectedPath = data / "cli" / expected;
    EXPECT_EQ(outcome.status, status) << line;
    if (printed != ReadFile(expectedPath)) {
      std::ofstream(fs::path(expectedPath).replace_extension(".actual"), std::ios::binary)
          << printed;
      ADD_FAILURE() << line << "\nprints other than " << expectedPath.string()
                    << "; what it printed is beside it as .actual";
    }
    ++run;
  }
  EXPECT_GE(run, 17);
  // A detection that was abandoned exports nothing.
  EXPECT_FALSE(fs::exists(scratch / "not-written.json"));
  fs::remove_all(scratch);
}

#ifndef _WIN32
// Trees copied from Debian's kernel under QEMU print what keldar printed there for a plain user,
// who reads sysfs alone (tests/kernel/*.user.json); only the source differs.
TEST(Cli, TreesCopiedFromARealKernelPrintWhatThatKernelPrinted) {
  for (const auto& [copy, printed] : {std::pair("qemu-office", "office"),
                                      std::pair("qemu-superspeed-keys", "two-keys-superspeed"),
                                      std::pair("qemu-low-speed", "no-known-key")}) {
    const keldar::testing::SysfsTree tree(std::string(copy) + ".json");
    const Outcome run = Keldar({"--sysfs", tree.Root(), "--json"}, tree.Root(), "keldar-vm");
    ASSERT_EQ(run.status, 0) << copy << ": " << run.err;
    const std::string expected =
        ReadFile(fs::path(KELDAR_SOURCE_DIR) / "tests/kernel" / (std::string(printed) + ".user.json"));
    EXPECT_EQ(run.out, Replaced(expected, "\"source\": \"live\"",
                                "\"source\": \"sysfs:" + tree.Root() + "\"")) << copy;
  }
}
#endif

TEST(Cli, BuiltInDemoIsSamplesDemoJson) {
  EXPECT_EQ(keldar::cli::DemoTopology(),
            ReadFile(fs::path(KELDAR_SOURCE_DIR) / "samples" / "demo.json"));
}

// Live USB on Linux is the sysfs at /sys; one without a USB tree leaves nothing to detect.
#ifndef _WIN32
TEST(Cli, ThisMachineWithoutUsbSaysSo) {
  std::error_code error;
  if (fs::exists("/sys/bus/usb/devices", error)) GTEST_SKIP() << "this machine has USB";
  const Outcome run = keldar::testing::RunKeldar({});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("keldar: live USB is not available: \"/sys\" ", 0), 0u) << run.err;
}
#endif

// --export writes the topology a detection used; replaying that file with --topology shows
// exactly what the detection showed, byte for byte once the "source" line is set aside.
void ExpectReplayShowsTheSame(std::vector<std::string> args, const std::string& live = "") {
  const fs::path exported = keldar::testing::ScratchPath("replay.json");
  args.insert(args.end(), {"--json", "--export", exported.string()});
  const Outcome first = Keldar(args, live);
  ASSERT_EQ(first.status, 0) << first.err;
  const Outcome replay = Keldar({"--topology", exported.string(), "--json"}, live);
  ASSERT_EQ(replay.status, 0) << replay.err;
  fs::remove(exported);
  nlohmann::json shown = nlohmann::json::parse(first.out),
                 replayed = nlohmann::json::parse(replay.out);
  EXPECT_EQ(replayed["source"], "topology:" + exported.string());
  shown.erase("source");
  replayed.erase("source");
  EXPECT_EQ(replayed, shown);
}

// (Every fixture, written and read back, is the same model: the golden test checks that.)
TEST(Export, TheDemoAndASysfsTreeReplayToTheSameReport) {
  ExpectReplayShowsTheSame({"--demo"});
#ifndef _WIN32
  const keldar::testing::SysfsTree tree("desktop.json");
  ExpectReplayShowsTheSame({"--sysfs", tree.Root()});
#endif
}

}  // namespace
