// A sysfs tree made hostile, as a broken system or a hand-made copy hands it over: files that
// block, links that lead out of the tree, files that may not be read, root hubs the kernel
// never names, hub chains deeper than a topology file holds. The scan must end, stay beneath
// its root, say what it could not read, and give a model the topology reader reads back.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/topology_file.h"
#include "backends/linux/sysfs_scanner.h"
#include "support/run_keldar.h"
#include "support/scratch_path.h"
#include "support/sysfs_tree.h"
#include "support/test_data.h"

namespace keldar {
namespace {

namespace fs = std::filesystem;
using keldar::testing::ReadFile;
using nlohmann::json;
using testing::SysfsTree;

constexpr const char* kUsb1 = "devices/pci0000:00/0000:00:14.0/usb1";
constexpr const char* kDevice11 = "devices/pci0000:00/0000:00:14.0/usb1/1-1";

const model::Device* DeviceOnPort(const model::Hub& hub, int port) {
  for (const model::Port& candidate : hub.ports)
    if (candidate.port == port) return candidate.device.get();
  return nullptr;
}

const model::Controller* ControllerOf(const model::UsbModel& usb, const std::string& rootHub) {
  for (const model::Controller& controller : usb.controllers)
    if (controller.rootHub && controller.rootHub->name == rootHub) return &controller;
  return nullptr;
}

// The model a scan gives must read back from its own topology file.
void ExpectReadsBack(const model::UsbModel& usb) {
  EXPECT_NO_THROW(ReadTopology(WriteTopology(usb), "exported.json"));
}

// A FIFO where an attribute belongs would block a plain read for ever.
TEST(HostileSysfs, FifoAttributeIsSkippedWithoutBlocking) {
  const SysfsTree tree("desktop.json");
  const fs::path descriptors = tree.Path(kDevice11) / "descriptors";
  fs::remove(descriptors);
  ASSERT_EQ(::mkfifo(descriptors.c_str(), 0644), 0);
  // A hub's speed is wanted for the device and for its hub descriptor: still one file.
  const fs::path speed = tree.Path(kDevice11).parent_path() / "1-3" / "speed";
  fs::remove(speed);
  ASSERT_EQ(::mkfifo(speed.c_str(), 0644), 0);
  const model::UsbModel usb = ScanSysfs(tree.Root(), {});
  // The device whose descriptors cannot be read is left out, the FIFO named, the scan goes on.
  const model::Hub& rootHub = *ControllerOf(usb, "usb1")->rootHub;
  EXPECT_EQ(DeviceOnPort(rootHub, 1), nullptr);
  ASSERT_NE(DeviceOnPort(rootHub, 3), nullptr);
  EXPECT_NE(DeviceOnPort(rootHub, 3)->hub, nullptr);
  ASSERT_EQ(usb.warnings.size(), 1u);
  EXPECT_EQ(usb.warnings[0], "sysfs: cannot read " + std::string(kDevice11) +
                                 "/descriptors (not a regular file) nor 1 more for that reason; "
                                 "what could not be read is taken as absent");
}

// Links that lead out of the tree, by an absolute path or by climbing above the root, are
// resolved inside it, as if the tree were mounted at /sys.
TEST(HostileSysfs, ReadsNeverLeaveTheRoot) {
  const SysfsTree tree("desktop.json");
  const fs::path outside = keldar::testing::ScratchPath("outside-the-tree");
  std::ofstream(outside) << "OUTSIDE\n";
  fs::remove(tree.Path(kDevice11) / "product");
  fs::create_symlink(outside, tree.Path(kDevice11) / "product");
  fs::remove(tree.Path(kUsb1) / "product");
  fs::create_symlink("../../../../../../../../.." + outside.string(), tree.Path(kUsb1) / "product");
  // usb2 leads to the folder above the tree: its controller would be named after that folder.
  fs::remove(tree.Path("bus/usb/devices/usb2"));
  fs::create_symlink("../../..", tree.Path("bus/usb/devices/usb2"));
  const model::UsbModel usb = ScanSysfs(tree.Root(), {});
  fs::remove(outside);

  const model::Controller* usb1 = ControllerOf(usb, "usb1");
  ASSERT_NE(usb1, nullptr);
  EXPECT_EQ(usb1->friendlyName, std::nullopt);
  EXPECT_EQ(DeviceOnPort(*usb1->rootHub, 1)->friendlyName, std::nullopt);
  EXPECT_EQ(ControllerOf(usb, "usb2"), nullptr);
  for (const model::Controller& controller : usb.controllers)
    EXPECT_NE(controller.driverKey, fs::path(tree.Root()).parent_path().filename().string());
}

// Root hub names the kernel never writes ("usb01" beside "usb1") and hub chains deeper than a
// topology file holds: the scan still gives a model that reads back.
TEST(HostileSysfs, WhatTheScanGivesReadsBack) {
  const SysfsTree tree("desktop.json");
  fs::create_symlink("../../../" + std::string(kUsb1), tree.Path("bus/usb/devices/usb01"));
  // 40 hubs chained on port 2 of usb1: 1-2, 1-2.1, 1-2.1.1, ...
  const std::string hubDescriptor = "12 01 00 02 09 00 00 40 e3 05 08 06 00 01 00 00 00 01";
  fs::path at = kUsb1;
  std::string name = "1-2";
  for (int depth = 0; depth < 40; ++depth, name += ".1") {
    at /= name;
    testing::WriteValue(tree.Path(at.string()) / "descriptors", json{{"hex", hubDescriptor}});
    testing::WriteValue(tree.Path(at.string()) / "maxchild", "1");
    fs::create_symlink("../../.." / at, tree.Path("bus/usb/devices") / name);
  }
  const model::UsbModel usb = ScanSysfs(tree.Root(), {});
  EXPECT_EQ(usb.controllers.size(), 3u);  // usb1, usb2, usb10
  ExpectReadsBack(usb);
  // The chain is kept as deep as a file holds; the deepest hub keeps its ports unlisted.
  int chained = 0;
  const model::Device* device = DeviceOnPort(*ControllerOf(usb, "usb1")->rootHub, 2);
  for (; device != nullptr && device->hub; device = DeviceOnPort(*device->hub, 1)) ++chained;
  EXPECT_EQ(chained, model::kMaxHubNesting);
}

// Runs `work` as the user nobody when this process is root (permissions do not hold for root)
// and returns what it returns.
std::string Unprivileged(const std::function<std::string()>& work) {
  if (::geteuid() != 0) return work();
  int channel[2];
  if (::pipe(channel) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    const passwd* nobody = ::getpwnam("nobody");
    const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
    const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
    std::string result = ::setgid(gid) == 0 && ::setuid(uid) == 0 ? work() : "setuid failed";
    (void)!::write(channel[1], result.data(), result.size());
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string result;
  char buffer[4096];
  for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
  ::close(channel[0]);
  ::waitpid(child, nullptr, 0);
  return result;
}

// The status, stderr and stdout of a run that reads no hardware database.
std::string RunKeldar(const std::vector<std::string>& args) {
  cli::Machine machine = cli::ThisMachine();
  machine.scanSysfs = [](const std::string& root) { return ScanSysfs(root, {}); };
  const testing::Outcome run = testing::RunKeldar(args, machine);
  return std::to_string(run.status) + "\n" + run.err + run.out;
}

// What may not be read is said, on stderr and in the JSON, instead of reading as "nothing
// there"; a tree that may not be read at all is an error that says so.
TEST(HostileSysfs, UnreadableFilesAreWarnedAbout) {
  const SysfsTree tree("desktop.json");
  fs::permissions(tree.Root(), fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
  fs::permissions(tree.Path(kUsb1) / "maxchild", fs::perms::none);
  fs::permissions(tree.Path(kUsb1) / "bmAttributes", fs::perms::none);
  const std::string run = Unprivileged([&] { return RunKeldar({"--sysfs", tree.Root(), "--json"}); });
  const std::string expected = ReadFile(fs::path(KELDAR_TEST_DATA_DIR) / "hostile" /
                                        "unreadable-maxchild.stderr");
  ASSERT_EQ(run.substr(0, expected.size()), expected) << run;
  const json report = json::parse(run.substr(expected.size()));
  ASSERT_TRUE(report.contains("warnings"));
  EXPECT_EQ(report["warnings"].size(), 1u);
  EXPECT_EQ("keldar: warning: " + report["warnings"][0].get<std::string>() + "\n",
            expected.substr(2));

  fs::permissions(tree.Path("bus"), fs::perms::none);
  EXPECT_EQ(Unprivileged([&] { return RunKeldar({"--sysfs", tree.Root()}); }),
            "2\nkeldar: \"" + tree.Root() +
                "\" cannot be read: Permission denied (on the way to its bus/usb/devices "
                "directory)\n");
  fs::permissions(tree.Path("bus"), fs::perms::owner_all);
}

// More root hubs than \\.\HCDn links, two per controller device (every xHCI controller has a
// USB 2 and a USB 3 one): those past the tenth are reached through the host-controller
// interfaces alone, and each must still be walked, the key on the twelfth found.
TEST(HostileSysfs, EveryRootHubIsWalkedPastTheTenthHcdLink) {
  const SysfsTree tree("twelve-root-hubs-on-six-controllers.json");
  cli::Machine machine = cli::ThisMachine();
  machine.scanSysfs = [](const std::string& root) {
    model::UsbModel usb = ScanSysfs(root, {});
    usb.computerName = "SERVER-12";
    return usb;
  };
  const testing::Outcome run = testing::RunKeldar({"--sysfs", tree.Root(), "--expect-key"}, machine);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::string expected = ReadFile(fs::path(KELDAR_TEST_DATA_DIR) / "hostile" /
                                  "twelve-root-hubs-on-six-controllers.txt");
  expected.replace(expected.find("DIR"), 3, tree.Root());
  EXPECT_EQ(run.out, expected);
}

// Each way a key can be there (key-states.json), judged from the tree and from the key's usbfs
// node as the user running keldar finds it: 1-4's node only root may open, the others anyone.
TEST(HostileSysfs, KeysAreJudgedFromTheTreeAndFromTheirNodesAsTheUserFindsThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "scans as nobody, whom only root can become";
  const SysfsTree tree("key-states.json");
  const std::string usbfs = tree.Path("dev/bus/usb").string();
  for (int address = 2; address <= 6; ++address) {
    const fs::path node = fs::path(usbfs) / "001" / ("00" + std::to_string(address));
    fs::create_directories(node.parent_path());
    std::ofstream{node};
    fs::permissions(node, address == 5 ? fs::perms::owner_read | fs::perms::owner_write
                                       : fs::perms::all & ~fs::perms::owner_exec &
                                             ~fs::perms::group_exec & ~fs::perms::others_exec);
  }
  const auto searchable = fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(tree.Root(), searchable, fs::perm_options::add);
  for (const auto& entry : fs::recursive_directory_iterator(tree.Root()))
    if (entry.is_directory() && !entry.is_symlink())
      fs::permissions(entry.path(), searchable, fs::perm_options::add);
  cli::Machine machine = cli::ThisMachine();
  machine.scanSysfs = [&usbfs](const std::string& root) {
    SysfsScanOptions options;
    options.usbfsRoot = usbfs;
    model::UsbModel usb = ScanSysfs(root, options);
    usb.computerName = "DESK-7";
    return usb;
  };
  const auto run = [&] {
    return Unprivileged([&] {
      const testing::Outcome outcome =
          testing::RunKeldar({"--sysfs", tree.Root(), "--json", "--expect-key"}, machine);
      return std::to_string(outcome.status) + "\n" + outcome.err + outcome.out;
    });
  };
  const std::string shown = run();
  ASSERT_EQ(shown.substr(0, 2), "0\n") << shown;
  std::string expected = ReadFile(fs::path(KELDAR_TEST_DATA_DIR) / "hostile" / "key-states.keys.json");
  for (std::size_t at; (at = expected.find("{usbfs}")) != std::string::npos;)
    expected.replace(at, 7, usbfs);
  EXPECT_EQ(json::parse(shown.substr(2))["keys"], json::parse(expected));

  // Nodes the user may not even look at are a warning, and their keys' usability not known.
  fs::permissions(fs::path(usbfs) / "001", fs::perms::owner_all);
  const std::string hidden = run();
  const std::string warning = "0\nkeldar: warning: sysfs: cannot read " + usbfs +
                              "/001/002 (Permission denied) nor 4 more for that reason; what "
                              "could not be read is taken as absent\n";
  ASSERT_EQ(hidden.substr(0, warning.size()), warning) << hidden;
  EXPECT_EQ(json::parse(hidden.substr(warning.size()))["keys"][2]["usable"], nullptr);
}

// The controller search stops at its bound; what lies past it is said, not dropped in silence.
TEST(HostileSysfs, RootHubsPastTheControllerBoundAreWarnedAbout) {
  SysfsTree tree;
  for (int bus = 1; bus <= 258; ++bus) {
    const std::string name = "usb" + std::to_string(bus);
    const std::string at = "devices/platform/vhci_hcd." + std::to_string(bus) + "/" + name;
    testing::WriteValue(tree.Path(at) / "maxchild", "0");
    fs::create_directories(tree.Path("bus/usb/devices"));
    fs::create_symlink("../../../" + at, tree.Path("bus/usb/devices") / name);
  }
  const std::string run = RunKeldar({"--sysfs", tree.Root(), "--json"});
  const std::string expected = ReadFile(fs::path(KELDAR_TEST_DATA_DIR) / "hostile" /
                                        "controllers-past-the-bound.stderr");
  ASSERT_EQ(run.substr(0, expected.size()), expected) << run.substr(0, 400);
  const json report = json::parse(run.substr(expected.size()));
  EXPECT_EQ(report["tree"][0]["children"].size(), 256u);
  ASSERT_EQ(report["warnings"].size(), 1u);
  EXPECT_EQ("keldar: warning: " + report["warnings"][0].get<std::string>() + "\n",
            expected.substr(2));
}

}  // namespace
}  // namespace keldar

#endif
