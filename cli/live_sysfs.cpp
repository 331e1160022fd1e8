// Live USB where the kernel shows it in sysfs (Linux): the tree at /sys, scanned as --sysfs
// scans any other.
#include "cli/source.h"
#include "backends/linux/sysfs_scanner.h"

namespace keldar::cli {

const bool kLiveIsSysfs = true;

Detected DetectLive(const Machine& machine, std::ostream& err, std::string* topology) {
  return DetectOnModel(machine.scanSysfs(kLiveSysfsRoot), "live", err, topology);
}

}  // namespace keldar::cli
