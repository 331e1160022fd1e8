// The console front end `keldar`: one detection on this machine's USB, on a sysfs tree, on the
// bundled demo topology or on a topology file, printed as text or as one JSON document, and
// optionally exported as a topology file. Notices are printed, never waited on.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "cli/watch.h"
#include "model/usb_model.h"

namespace keldar::cli {

// Exit statuses: 0 after a detection (and for --help and --version); 2 for a usage error, a
// topology file that cannot be read or is malformed, or a sysfs root that holds no USB tree
// (also the live /sys of a machine without USB); 1 for anything else, among it an export file
// that cannot be written; 3 with --expect-key when no known key was found, 4 when keys were
// found and every one of them is unusable.
inline constexpr int kExitDetected = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoKey = 3;
inline constexpr int kExitKeysUnusable = 4;

// What the program reads from the machine it runs on besides its options.
struct Machine {
  // The USB topology below a sysfs mount point ("/sys" for the live one). Throws SysfsError
  // when the root holds no sysfs USB tree.
  std::function<model::UsbModel(const std::string& sysfsRoot)> scanSysfs;
  // The clock and wait of --watch; `usbEvents`: the live USB is watched, whose events may
  // end a wait early.
  std::function<WatchClock(bool usbEvents)> watchClock;
};

// This machine: ScanSysfs with the hardware database, and usbfs for the live /sys; the
// system clock, and a wait that Ctrl-C and SIGTERM end.
Machine ThisMachine();

// Runs the program as `keldar` with these arguments (argv[0] is the program's name).
// Everything it prints goes to `out` (the result) and `err` (errors, one line each).
int RunKeldar(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
int RunKeldar(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
              const Machine& machine);

// The demo topology built into the program (UTF-8 JSON; the same bytes as samples/demo.json).
std::string_view DemoTopology();

}  // namespace keldar::cli
