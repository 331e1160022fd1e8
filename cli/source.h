// What a detection of the console reads, as the options chose it: the demo topology built into
// the program, a topology file, a sysfs tree, or this computer's USB. The one-shot run and
// every detection of --watch go through Detect, so that both read a source the same way and
// fail with the same line and exit status.
#pragma once

#include <ostream>
#include <string>

#include "cli/keldar_cli.h"
#include "cli/watch.h"
#include "model/usb_model.h"
#include "platform/platform.h"

namespace keldar::cli {

struct Source {
  enum Kind { Demo, Topology, Sysfs, Live } kind = Live;
  std::string path;  // the topology file or the sysfs root

  // As reports name it: "demo", "topology:FILE", "sysfs:DIR" or "live".
  std::string Name() const;
  // As error lines name it: the file or folder, "the demo topology" or "live USB".
  std::string Describe() const;
};

// One detection on `source`, read anew. A failure is one line on `err` and its exit status:
// kExitUsage for a topology file that cannot be read or is malformed and for a sysfs root
// without a USB tree, kExitFailure for anything else. `topology`, when given, receives the
// topology file of what was detected (for --export).
Detected Detect(const Source& source, const Machine& machine, std::ostream& err,
                std::string* topology = nullptr);

// For the live backends, one file per system (live_sysfs.cpp, live_win32.cpp):
// whether live USB comes from sysfs,
extern const bool kLiveIsSysfs;
// a detection on this computer's USB, which may throw what Detect maps to a status,
Detected DetectLive(const Machine& machine, std::ostream& err, std::string* topology);
// and the two ways a detection is run: on a platform (with `readKeyStates`, the keys' facts
// are what the platform's device database answers), and on a model (whose warnings the
// report takes).
Detected DetectOnPlatform(Platform& platform, unsigned codePage, const std::string& source,
                          std::ostream& err, bool readKeyStates = false);
// Hands each key of `report` the facts `usb` holds about its device, found by its driver key.
void JoinKeyFacts(const model::UsbModel& usb, DetectionReport& report);

Detected DetectOnModel(const model::UsbModel& usb, const std::string& source,
                       std::ostream& err, std::string* topology);

}  // namespace keldar::cli
