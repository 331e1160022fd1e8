// keldar --watch on a fake sysfs tree that a session file changes between detections, with a
// stepped clock; the metrics file of a watch, and a watched file that turns into a FIFO.
// (--expect-key, and the options that make no sense beside --watch, are cases of
// tests/data/cli/cases.txt.)
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "backends/linux/sysfs_scanner.h"
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
// the clock on by 50 ms; the wait after the last step ends the watch. The keys' usbfs nodes
// are the tree's dev/bus/usb.
class Session {
 public:
  explicit Session(const std::string& steps = "watch/session.json")
      : tree_("../watch/desk.json"), steps_(json::parse(ReadData(steps)).at("steps")) {}

  keldar::cli::Machine Machine() {
    return {[this](const std::string& root) {
              keldar::SysfsScanOptions options;
              options.usbfsRoot = tree_.Path("dev/bus/usb").string();
              auto usb = keldar::ScanSysfs(root, options);
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
    for (const std::string path : step.value("unreadable", json::array())) {
      fs::remove(tree_.Path(path));
      ::mkfifo(tree_.Path(path).c_str(), 0600);
    }
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

// A key's verdict is said when it arrives and when it changes to another known one; while its
// authorized file holds no answer nothing is said, and the metrics drop its usable series.
TEST(Watch, VerdictIsSaidWhenKnownAndWhenItChanges) {
  const LocalZone zone("IST-5:30");
  for (const auto& [form, golden] :
       {std::pair<std::string, std::string>{"text", "watch/verdicts.txt"},
        {"json", "watch/verdicts.jsonl"}}) {
    SCOPED_TRACE(form);
    Session session("watch/verdicts.json");
    const fs::path metrics = fs::path(session.Root()) / "keldar.prom";
    std::vector<std::string> args = {"--watch", "--interval", "0.05", "--sysfs", session.Root(),
                                      "--prometheus", metrics.string()};
    if (form == "json") args.push_back("--json");
    const Outcome run = RunKeldar(args, session.Machine());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, ReadData(golden));
    EXPECT_EQ(run.err, ReadData("watch/verdicts.err"));
    EXPECT_EQ(keldar::testing::ReadFile(metrics), ReadData("watch/verdicts.prom"));
  }
}

// A key whose files turn unreadable leaves with the reason: said on stderr by the detection
// that meets it (once while it lasts), and carried by each JSON line of that detection.
TEST(Watch, WarningGoesWithTheDetectionThatMeetsIt) {
  const LocalZone zone("IST-5:30");
  for (const auto& [form, golden] :
       {std::pair<std::string, std::string>{"text", "watch/unreadable.txt"},
        {"json", "watch/unreadable.jsonl"}}) {
    SCOPED_TRACE(form);
    Session session("watch/unreadable.json");
    std::vector<std::string> args = {"--watch", "--interval", "0.05", "--sysfs", session.Root()};
    if (form == "json") args.push_back("--json");
    const Outcome run = RunKeldar(args, session.Machine());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, ReadData(golden));
    EXPECT_EQ(run.err, ReadData("watch/unreadable.err"));
  }
}

// A warning names a path, which need not be UTF-8: the JSON line stays valid JSON, with
// U+FFFD where the path is not.
TEST(Watch, WarningThatIsNotUtf8KeepsTheJsonLineValid) {
  keldar::DetectionReport report;
  report.keys.push_back({0x0529, 0x0001, "HASP HL", "1-4", "HCD0/RootHub/4", 3, {}});
  report.warnings = {"devices/usb1/\xff/product: cannot be read"};
  std::ostringstream out, err;
  const int status = keldar::cli::RunWatch(
      [&](std::ostream&) { return keldar::cli::Detected{report, 0}; }, {1.0, true, ""},
      {[] { return 1796668200.0; }, [](double) { return false; }}, out, err);
  EXPECT_EQ(status, 0) << err.str();
  const json line = json::parse(out.str());
  EXPECT_EQ(line.at("warnings"), json::array({"devices/usb1/\xef\xbf\xbd/product: cannot be read"}));
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

// The system's watch with a stepped clock: each wait runs the next step, the wait after the
// last ends the watch.
keldar::cli::Machine Stepped(std::vector<std::function<void()>> steps) {
  keldar::cli::Machine machine = keldar::cli::ThisMachine();
  machine.watchClock = [steps = std::move(steps)](bool) {
    auto next = std::make_shared<std::size_t>(0);
    return keldar::cli::WatchClock{[] { return 0.0; }, [steps, next](double) {
                                     if (*next == steps.size()) return false;
                                     steps[(*next)++]();
                                     return true;
                                   }};
  };
  return machine;
}

// A metrics file that could not be written is written at the next detection that can, though
// the keys stayed the same; stderr says when the writes start failing and when they work again.
TEST(Watch, FailedMetricsWriteIsRetriedUntilItSucceeds) {
  const fs::path folder = keldar::testing::ScratchPath("metrics-later");
  const std::string metrics = (folder / "keldar.prom").string();
  fs::remove_all(folder);
  const Outcome run =
      RunKeldar({"--watch", "--demo", "--prometheus", metrics},
                Stepped({[] {}, [&] { fs::create_directories(folder); }, [] {}}));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "keldar: " + metrics +
                         ": cannot write the metrics file: No such file or directory\n"
                         "keldar: " + metrics + ": the metrics file is written again\n");
  EXPECT_EQ(keldar::testing::ReadFile(metrics).rfind("# HELP keldar_key_present", 0), 0u);
  fs::remove_all(folder);
}

// Nothing changes on the demo machine, yet the metrics file's detection time moves on once a
// minute: a collector tells a watch that runs from one that stopped by it. Detections at 0, 30,
// 60 and 90 seconds: the file is rewritten at 60, not at every detection.
TEST(Watch, UnchangedMetricsAreRewrittenOnceAMinute) {
  const fs::path folder = keldar::testing::ScratchPath("metrics-minute");
  fs::create_directories(folder);
  const std::string metrics = (folder / "keldar.prom").string();
  keldar::cli::Machine machine = keldar::cli::ThisMachine();
  machine.watchClock = [](bool) {
    auto now = std::make_shared<double>(1000.0);
    return keldar::cli::WatchClock{[now] { return *now; }, [now](double) {
                                     *now += 30;
                                     return *now < 1100;
                                   }};
  };
  const Outcome run = RunKeldar({"--watch", "--demo", "--prometheus", metrics}, machine);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(keldar::testing::ReadFile(metrics).find(
                "\nkeldar_last_detection_timestamp_seconds 1060.000\n"),
            std::string::npos)
      << keldar::testing::ReadFile(metrics);
  fs::remove_all(folder);
}

// A watched topology file that is for a moment a FIFO is refused, never waited on: the watch
// goes on once the file is back.
TEST(Watch, TopologyFileThatIsAMomentAFifoIsNotWaitedOn) {
  const fs::path folder = keldar::testing::ScratchPath("fifo-watch");
  fs::create_directories(folder);
  const fs::path watched = folder / "desk.json";
  const auto put = [&](const char* fixture) {
    fs::remove(watched);
    fs::copy_file(fs::path(KELDAR_TEST_DATA_DIR) / "fixtures" / fixture, watched);
  };
  put("two-keys-behind-hub.json");
  Outcome run{};
  int done[2];
  ASSERT_EQ(::pipe(done), 0);
  std::thread watch([&] {
    run = RunKeldar({"--watch", "--topology", watched.string()},
                    Stepped({[&] {
                               fs::remove(watched);
                               ASSERT_EQ(::mkfifo(watched.c_str(), 0644), 0);
                             },
                             [&] { put("no-known-key.json"); }}));
    (void)!::write(done[1], "x", 1);
  });
  pollfd ended{done[0], POLLIN, 0};
  if (::poll(&ended, 1, 30000) != 1) {
    ADD_FAILURE() << "the watch waits on the FIFO";
    // A writer that comes and goes ends that wait.
    while (::poll(&ended, 1, 100) != 1) {
      const int fd = ::open(watched.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  }
  watch.join();
  ::close(done[0]);
  ::close(done[1]);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "keldar: " + watched.string() +
                         ": cannot read the topology file: not a regular file\n");
  std::istringstream lines(run.out);
  std::vector<std::string> events;
  for (std::string time, event; lines >> time >> event; lines.ignore(1 << 10, '\n'))
    events.push_back(event);
  EXPECT_EQ(events, (std::vector<std::string>{"arrived", "arrived", "left", "left"})) << run.out;
  fs::remove_all(folder);
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

// The metrics file without the lines of the detection's timing, which only a stepped clock fixes.
std::string WithoutTiming(const std::string& metrics) {
  std::istringstream lines(metrics);
  std::string kept;
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("keldar_detection_duration_seconds ", 0) != 0 &&
        line.rfind("keldar_last_detection_timestamp_seconds ", 0) != 0)
      kept += line + '\n';
  return kept;
}

// A replayed sysfs scan names its keys' ports as the scan did ("1-1"), and says which keys are
// usable, in the watch's metrics and in the one-shot run's alike.
TEST(Watch, MetricsOfAReplayedScanNamePortsAsTheScanDid) {
  keldar::cli::Machine machine = keldar::cli::ThisMachine();
  machine.watchClock = [](bool) {
    return keldar::cli::WatchClock{[] { return 1796668200.0; }, [](double) { return false; }};
  };
  const std::string topology = KELDAR_TEST_DATA_DIR "/sysfs/key-states.golden.json";
  const fs::path watched = keldar::testing::ScratchPath("watched.prom");
  const fs::path once = keldar::testing::ScratchPath("once.prom");
  const Outcome watch =
      RunKeldar({"--watch", "--topology", topology, "--prometheus", watched.string()}, machine);
  EXPECT_EQ(watch.status, 0) << watch.err;
  EXPECT_EQ(keldar::testing::ReadFile(watched), ReadData("watch/key-states.prom"));
  const Outcome oneShot = RunKeldar({"--topology", topology, "--prometheus", once.string()}, machine);
  EXPECT_EQ(oneShot.status, 0) << oneShot.err;
  EXPECT_EQ(WithoutTiming(keldar::testing::ReadFile(once)),
            WithoutTiming(ReadData("watch/key-states.prom")));
  fs::remove(watched);
  fs::remove(once);
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
