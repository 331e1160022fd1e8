// The console front end as a user runs it: each case of tests/data/cli/cases.txt compared whole
// with its expected output and exit status; then exports replayed with --topology.
#include <algorithm>
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "backends/linux/sysfs_scanner.h"
#include "support/run_keldar.h"
#include "support/scratch_path.h"
#include "support/test_data.h"
#ifndef _WIN32
#include <sys/stat.h>

#include "support/sysfs_tree.h"
#endif

namespace {

namespace fs = std::filesystem;
using keldar::testing::Outcome;
using keldar::testing::ReadFile;

// The program with a stand-in for live USB: `live` is scanned when /sys is asked for. The
// computer is named DESK-7 and no hardware database is read, so that names come from the
// tree alone; a watch ends after its first detection.
Outcome Keldar(const std::vector<std::string>& args, const std::string& live,
              const std::string& computerName = "DESK-7") {
  keldar::cli::Machine machine = keldar::cli::ThisMachine();
  machine.scanSysfs = [live, computerName](const std::string& root) {
    keldar::model::UsbModel usb = keldar::ScanSysfs(root == "/sys" ? live : root, {});
    usb.computerName = computerName;
    return usb;
  };
  // A watch ends after its first detection.
  machine.watchClock = [](bool) {
    return keldar::cli::WatchClock{[] { return 0.0; }, [](double) { return false; }};
  };
  return keldar::testing::RunKeldar(args, machine);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// One row of cases.txt, its fields as written ({data}, {tmp}, {sysfs} not yet replaced).
struct CliCase {
  std::string name;  // the expected output's file name without .txt, as GoogleTest spells it
  std::string line;
  int status = -1;
  std::string expected;
  std::vector<std::string> args;
  std::string live;  // "" for the default, {sysfs} (or {tmp} where no sysfs tree is made)
};

void PrintTo(const CliCase& row, std::ostream* out) { *out << row.line; }

std::vector<CliCase> ReadCases() {
  std::istringstream lines(ReadFile(fs::path(KELDAR_TEST_DATA_DIR) / "cli" / "cases.txt"));
  std::vector<CliCase> cases;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    CliCase row;
    row.line = line;
    std::string where;
    fields >> where >> row.status >> row.expected;
#ifdef _WIN32
    if (where == "linux") continue;
#else
    if (where == "windows") continue;
#endif
    for (std::string arg; fields >> arg;) {
      if (arg.rfind("live=", 0) == 0)
        row.live = arg.substr(5);
      else
        row.args.push_back(arg);
    }
    row.name = fs::path(row.expected).stem().string();
    for (char& c : row.name)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    // Rows that expect the same output are told apart by their place among them.
    const auto same = std::count_if(cases.begin(), cases.end(), [&](const CliCase& other) {
      return other.expected == row.expected;
    });
    if (same > 0) row.name += "_" + std::to_string(same + 1);
    cases.push_back(std::move(row));
  }
  return cases;
}

class CliCaseTest : public ::testing::TestWithParam<CliCase> {};

TEST_P(CliCaseTest, PrintsItsExpectedOutputAndStatus) {
  const CliCase& row = GetParam();
  const fs::path data = KELDAR_TEST_DATA_DIR;
  const fs::path scratch = keldar::testing::ScratchPath("cli-" + row.name);
  fs::create_directories(scratch);
  std::vector<std::pair<std::string, std::string>> places = {{"{data}", data.string()},
                                                             {"{tmp}", scratch.string()}};
  // A topology that a link leads to, for the files that --prometheus must not replace.
  ASSERT_EQ(Keldar({"--demo", "--export", (scratch / "desk.json").string()}, "").status, 0);
#ifndef _WIN32
  const keldar::testing::SysfsTree tree("desktop.json");
  places.emplace_back("{sysfs}", tree.Root());
  fs::create_symlink("desk.json", scratch / "link.json");
  // A device reached through a link: a program that replaced it would replace only the link.
  fs::create_symlink("/dev/null", scratch / "null");
#endif
  const auto placed = [&](std::string text) {
    for (const auto& [name, place] : places) text = Replaced(text, name, place);
    return text;
  };
  std::vector<std::string> args;
  for (const std::string& arg : row.args) args.push_back(placed(arg));
  const Outcome outcome = Keldar(args, row.live.empty() ? places.back().second : placed(row.live));
  std::string printed = outcome.out + (outcome.err.empty() ? "" : "--- stderr\n" + outcome.err);
  for (const auto& [name, place] : places) printed = Replaced(printed, place, name);
  const fs::path expectedPath = data / "cli" / row.expected;
  EXPECT_EQ(outcome.status, row.status) << row.line;
  if (printed != ReadFile(expectedPath)) {
    std::ofstream(fs::path(expectedPath).replace_extension(".actual"), std::ios::binary)
        << printed;
    ADD_FAILURE() << row.line << "\nprints other than " << expectedPath.string()
                  << "; what it printed is beside it as .actual";
  }
  // A run that failed exports nothing.
  for (std::size_t i = 0; outcome.status != 0 && i + 1 < args.size(); ++i) {
    if (args[i] != "--export" || row.args[i + 1].rfind("{tmp}/", 0) != 0) continue;
    EXPECT_FALSE(fs::exists(args[i + 1])) << row.line;
  }
#ifndef _WIN32
  // The device was written in place, not replaced (with its link).
  EXPECT_TRUE(fs::is_symlink(scratch / "null")) << row.line;
#endif
  fs::remove_all(scratch);
}

INSTANTIATE_TEST_SUITE_P(Cli, CliCaseTest, ::testing::ValuesIn(ReadCases()),
                         [](const ::testing::TestParamInfo<CliCase>& info) {
                           return info.param.name;
                         });

#ifndef _WIN32
// Trees copied from Debian's kernel under QEMU print what keldar printed there for a plain user,
// who reads sysfs alone (tests/kernel/*.user.json); only the source differs, the keys'
// verdicts, which a copy without /dev cannot give as the kernel's tree did, and the machine the
// kernel ran on, which the copies (USB devices only) do not hold.
TEST(Cli, TreesCopiedFromARealKernelPrintWhatThatKernelPrinted) {
  for (const auto& [copy, printed] : {std::pair("qemu-office", "office"),
                                      std::pair("qemu-superspeed-keys", "two-keys-superspeed"),
                                      std::pair("qemu-low-speed", "no-known-key")}) {
    const keldar::testing::SysfsTree tree(std::string(copy) + ".json");
    const Outcome run = Keldar({"--sysfs", tree.Root(), "--json"}, tree.Root(), "keldar-vm");
    ASSERT_EQ(run.status, 0) << copy << ": " << run.err;
    const std::string expected =
        ReadFile(fs::path(KELDAR_SOURCE_DIR) / "tests/kernel" / (std::string(printed) + ".user.json"));
    nlohmann::json shown = nlohmann::json::parse(run.out);
    ASSERT_TRUE(shown.contains("keys")) << copy;
    shown.erase("keys");
    nlohmann::json kernel = nlohmann::json::parse(
        Replaced(expected, "\"source\": \"live\"", "\"source\": \"sysfs:" + tree.Root() + "\""));
    kernel.erase("keys");
    ASSERT_TRUE(kernel.contains("environment")) << printed;
    kernel.erase("environment");
    EXPECT_EQ(shown.dump(2), kernel.dump(2)) << copy;
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
// exactly what the detection showed, byte for byte once the "source" line is set aside, and
// warns as it warned.
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
  EXPECT_EQ(replay.err, first.err);
}

// (Every fixture, written and read back, is the same model: the golden test checks that.)
TEST(Export, TheDemoAndASysfsTreeReplayToTheSameReport) {
  ExpectReplayShowsTheSame({"--demo"});
#ifndef _WIN32
  const keldar::testing::SysfsTree tree("desktop.json");
  ExpectReplayShowsTheSame({"--sysfs", tree.Root()});
  // A tree with a file that cannot be read: the export keeps the warning.
  const fs::path descriptors = tree.Path("devices/pci0000:00/0000:00:14.0/usb1/1-1/descriptors");
  fs::remove(descriptors);
  ASSERT_EQ(::mkfifo(descriptors.c_str(), 0644), 0);
  ExpectReplayShowsTheSame({"--sysfs", tree.Root()});
#endif
}

}  // namespace
