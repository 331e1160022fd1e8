// `keldar --watch`: a detection every interval (or when the USB changes), one line for each
// known key that arrived or left since the previous one, and for each key whose verdict
// became known or changed, as text or as JSON Lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "detect/report.h"

namespace keldar::cli {

// A known key as the watch lines and the metrics show it; texts in UTF-8.
struct KeyView {
  std::string model;
  std::string vendorId;   // "0x0529"
  std::string productId;  // "0x0001"
  std::string port;       // "3-1.4" from sysfs, else "HCD<n>/<hub name>/<port>"
  std::uint16_t address = 0;  // not shown: a key that came back has a new one
  KeyVerdict verdict;
  friend bool operator==(const KeyView&, const KeyView&) = default;
};

// The same key, whatever its verdict: what arriving and leaving go by.
bool SameKey(const KeyView& a, const KeyView& b);

// The report's keys with their verdicts; a report whose driver keys are port paths (sysfs, or
// a topology recorded from it) names their ports by them.
std::vector<KeyView> KeysOf(const DetectionReport& report);

// One detection for the watcher: the report, or the exit status of a failure whose error line
// has been written to the stream the detection was given.
struct Detected {
  std::optional<DetectionReport> report;
  int status = 0;
};

// What the watcher reads the time from and waits with; tests step both. Times are seconds
// since the Unix epoch: <chrono> itself cannot be built with the program's GBK literals.
struct WatchClock {
  std::function<double()> now;
  // Waits up to `seconds`, or less when the USB changed; false when the watch is to end.
  std::function<bool(double seconds)> wait;
};

// The shortest interval between detections: below it a watch would keep a processor busy
// for detections that find what the previous one found.
inline constexpr double kMinWatchInterval = 0.05;

// The longest the metrics file goes without a rewrite while nothing changes: its detection
// time is how a collector tells a watch that still runs from one that has stopped.
inline constexpr double kMetricsRefreshSeconds = 60.0;

struct WatchOptions {
  double interval = 1.0;
  bool json = false;
  std::string prometheusFile;  // empty: none
};

// The first detection's keys are announced as arrived; after that, one line per change. A key
// whose verdict is known is said `usable` or `unusable` right after it arrived, and again
// whenever its verdict changes to another known one: a verdict that is not known for a while
// says nothing, and the key's last line stands. A detection that fails after the first is
// reported once on `err` and changes nothing. A detection's warnings go to `err`, each when the
// detection before did not have it, and into every JSON line of that detection. Returns 0 when the wait ends the watch, the first
// detection's failure status, or 1 when `out` cannot be written.
int RunWatch(const std::function<Detected(std::ostream& err)>& detect, const WatchOptions& options,
             const WatchClock& clock, std::ostream& out, std::ostream& err);

// RFC 3339 local time with its offset from UTC: "2026-12-07T21:03:04+01:00"; UTC
// ("2026-12-07T20:03:04Z") where the offset is not whole minutes below 24 hours.
std::string LocalTimeText(double unixSeconds);

// The system's wall clock, in seconds since the Unix epoch.
double SystemTime();

// The system clock, and a wait that ends early on the platform's USB events (with
// `usbEvents`, where it has them) and ends the watch on Ctrl-C or SIGTERM.
WatchClock SystemWatchClock(bool usbEvents);

}  // namespace keldar::cli
