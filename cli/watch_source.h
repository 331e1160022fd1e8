// What `keldar --watch` detects on, as the options chose it, read anew for every detection.
#pragma once

#include <ostream>
#include <string>

#include "cli/keldar_cli.h"
#include "cli/watch.h"

namespace keldar::cli {

struct WatchSource {
  enum Kind { Demo, Topology, Sysfs, Live } kind;
  std::string path;  // the topology file or the sysfs root
};

// Runs the watch (RunWatch) on `source`; `options.portIsDriverKey` is worked out here.
int Watch(const WatchSource& source, WatchOptions options, const Machine& machine,
          std::ostream& out, std::ostream& err);

// Whether a report of this source ("live", "sysfs:DIR", ...) came from sysfs, whose device
// names are their port paths and become their driver keys.
bool PortIsDriverKey(const std::string& source);

}  // namespace keldar::cli
