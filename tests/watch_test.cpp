// keldar --watch on a fake sysfs tree that a session file changes between detections, with a
// stepped clock, and the metrics file of a watch. (--expect-key, and the options that make no
// sense beside --watch, are cases of tests/data/cli/cases.txt.)
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/linux/sysfs_scanner.h"
#include "support/run_keldar.h"
#include "support/scratch_path.h"
#include "support/sysfs_tree.h"
#include "support/test_data.h"

namespace {

namespace fs = std::filesystem;
using keldar::testing::Outcome;
using keldar::testing::ReadData;
using keldar::testing::RunKeldar;
using nlohmann::json;

#if !defined(_WIN32)

// The zone the expected times are written in (UTC+05:30: an offset with minutes), for one test.
class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    if (const char* old = getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~LocalZone() {
    if (saved_.empty())
      unsetenv("TZ");
    else
      setenv("TZ", saved_.c_str(), 1);
    tzset();
  }

 private:
  std::string saved_;
};

// Plays tests/data/watch/session.json: every wait applies the next step to the tree and moves
// the clock on by 50 ms; the wait after the last step ends the watch.
class Session {
 public:
  Session() : tree_("../watch/desk.json"), steps_(json::parse(ReadData("watch/session.json")).at("steps")) {}

  keldar::cli::Machine Machine() {
    return {[this](const std::string& root) {
              auto usb = keldar::ScanSysfs(root, {});
              usb.computerName = "DESK-7";
              if (!flickering_.empty()) Plug(std::exchange(flickering_, {}));
              return usb;
            },
            [this](bool usbEvents) {
              liveUsbEvents_ = usbEvents;
              return keldar::cli::WatchClock{
                  [this] { return (kStartMilliseconds + 50.0 * step_) / 1000.0; },
                  [this](double seconds) {
                    waits_.push_back(seconds);
                    if (step_ == steps_.size()) return false;
                    Apply(steps_[step_++]);
                    return true;
                  }};
            }};
  }

  std::string Root() const { return tree_.Root(); }
  const std::vector<double>& Waits() const { return waits_; }
  bool LiveUsbEvents() const { return liveUsbEvents_; }

 private:
  // 2026-12-07T18:29:59.900Z: 50 ms before midnight in the zone the times are written in.
  static constexpr double kStartMilliseconds = 1796668199900.0;

  void Plug(const json& devices) {
    for (const auto& [name, device] : devices.items()) {
      const std::string at = device.at("at");
      for (const auto& [attribute, value] : device.at("attributes").items())
        keldar::testing::WriteValue(tree_.Path(at) / attribute, value);
      fs::create_symlink("../../../" + at, tree_.Path("bus/usb/devices/" + name));
    }
    plugged_.update(devices);
  }

  json Unplug(const json& names) {
    json removed = json::object();
    for (const std::string name : names) {
      removed[name] = plugged_.at(name);
      fs::remove(tree_.Path("bus/usb/devices/" + name));
      fs::remove_all(tree_.Path(plugged_.at(name).at("at")));
    }
    return removed;
  }

  void Apply(const json& step) {
    if (step.contains("unplug")) Unplug(step["unplug"]);
    if (step.contains("plug")) Plug(step["plug"]);
    const json writes = step.value("write", json::object());
    for (const auto& [path, value] : writes.items())
      keldar::testing::WriteValue(tree_.Path(path), value);
    if (step.contains("rename"))
      fs::rename(tree_.Path(step["rename"][0]), tree_.Path(step["rename"][1]));
    if (step.contains("flicker")) flickering_ = Unplug(step["flicker"]);
  }

  keldar::testing::SysfsTree tree_;
  json steps_;
  json plugged_ = json::parse(ReadData("watch/desk.json")).at("devices");
  json flickering_ = json::object();
  std::size_t step_ = 0;
  std::vector<double> waits_;
  bool liveUsbEvents_ = true;
};

TEST(Watch, SessionPrintsOneLinePerKeyThatArrivesOrLeaves) {
  const LocalZone zone("IST-5:30");
  for (const auto& [form, golden] : {std::pair<std::string, std::string>{"text", "watch/session.txt"},
                                     {"json", "watch/session.jsonl"}}) {
    SCOPED_TRACE(form);
    Session session;
    std::vector<std::string> args = {"--watch", "--interval", "0.05", "--sysfs", session.Root()};
    if (form == "json") args.push_back("--json");
    const Outcome run = RunKeldar(args, session.Machine());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, ReadData(golden));
    std::string errors = ReadData("watch/session.err");
    errors.replace(errors.find("DIR"), 3, session.Root());
    EXPECT_EQ(run.err, errors);
    // A sysfs tree other than the live one has no USB events: the interval alone paces it.
    EXPECT_FALSE(session.LiveUsbEvents());
    EXPECT_EQ(session.Waits(), std::vector<double>(12, 0.05));
  }
}

TEST(Watch, MetricsFileShowsTheLastChange) {
  Session session;
  const fs::path metrics = fs::path(session.Root()) / "keldar.prom";
  const Outcome run = RunKeldar({"--watch", "--interval", "0.05", "--sysfs", session.Root(),
                                 "--prometheus", metrics.string()},
                                session.Machine());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(keldar::testing::ReadFile(metrics), ReadData("watch/session.prom"));
  // Only the metrics file itself is left beside it: no temporary file.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(session.Root()))
    names.insert(entry.path().filename().string());
  EXPECT_EQ(names, (std::set<std::string>{"bus", "devices", "keldar.prom"}));
}

// RFC 3339 offsets are whole minutes below 24 hours: a zone whose offset has seconds (a local
// mean time) or is 24 hours (POSIX allows it) is shown in UTC, the seconds kept.
TEST(Watch, TimeIsRfc3339WhateverTheZone) {
  const double time = 1796668215.0;  // 2026-12-07T18:30:15Z
  for (const auto& [zone, expected] :
       {std::pair<const char*, const char*>{"IST-5:30", "2026-12-08T00:00:15+05:30"},
        {"XXX+24", "2026-12-07T18:30:15Z"},
        {"XXX-23:59", "2026-12-08T18:29:15+23:59"},
        {"LMT-0:17:30", "2026-12-07T18:30:15Z"}}) {
    const LocalZone local(zone);
    EXPECT_EQ(keldar::cli::LocalTimeText(time), expected) << zone;
  }
}

// A hub's name holding ESC, BEL, a line break, DEL and U+009B (code page 65001 lets the C1
// control through): escaped in the text line, which stays one line; as JSON escapes it in JSON
// Lines; as the textfile format escapes labels in the metrics. The key's place is
// HCD<n>/<hub name>/<port> in all three.
TEST(Watch, HubNameThatWouldDriveTheTerminalIsShownEscaped) {
  const LocalZone zone("UTC0");
  keldar::cli::Machine machine = keldar::cli::ThisMachine();
  machine.watchClock = [](bool) {
    return keldar::cli::WatchClock{[] { return 1796668200.0; }, [](double) { return false; }};
  };
  const std::string topology = KELDAR_TEST_DATA_DIR "/hostile/terminal-control-utf8.json";
  const fs::path metrics = keldar::testing::ScratchPath("terminal-control.prom");
  const Outcome text =
      RunKeldar({"--watch", "--topology", topology, "--prometheus", metrics.string()}, machine);
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, ReadData("watch/terminal-control.txt"));
  EXPECT_EQ(keldar::testing::ReadFile(metrics), ReadData("watch/terminal-control.prom"));
  const Outcome json = RunKeldar({"--watch", "--json", "--topology", topology}, machine);
  EXPECT_EQ(json.out, ReadData("watch/terminal-control.jsonl"));
  fs::remove(metrics);
}

#endif

}  // namespace
