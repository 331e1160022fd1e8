// The live USB topology of a Linux machine, read from sysfs into a UsbModel, so that the
// ModelPlatform answers the access layer's calls as a Windows machine with the same hardware
// would. Reading sysfs needs no privileges; nothing here claims, resets or configures a device.
// docs/linux.md describes the mapping from sysfs to controllers, hubs, ports and devices.
#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "model/usb_model.h"

namespace keldar {

// The root given is not a sysfs tree with a USB bus. The message names the directory and what
// is missing.
class SysfsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A hardware database's model name for a device, looked up by a modalias-style key: for a USB
// device "usb:v096Ep0201*" (upper-case hexadecimal), for a controller its parent device's own
// `modalias` ("pci:v00008086d0000A36D..."). No value: the database does not know the device.
using ModelNameLookup = std::function<std::optional<std::string>(const std::string& key)>;

// udev's hardware database (hwdb.bin) through libudev, loaded at run time so that the program
// runs where libudev is missing. An empty lookup when libudev or its database is not there.
ModelNameLookup HardwareDatabaseLookup();

struct SysfsScanOptions {
  // Model names for controllers and devices; empty: the devices' own product strings only.
  ModelNameLookup modelNames;
  // Where usbfs is mounted ("/dev/bus/usb"). When a hub's usbfs node opens for writing and is
  // the very device the sysfs tree describes, the hub descriptor is asked from the hub itself
  // (one GET_DESCRIPTOR control request); empty: never.
  std::string usbfsRoot;
  // Where the usbip tool records, per port of USB/IP's virtual host controller, the server a
  // device is attached from ("/var/run/vhci_hcd"); empty: never read.
  std::string usbipStateRoot;
};

// Where this system mounts sysfs: the live USB.
inline constexpr const char* kLiveSysfsRoot = "/sys";

// Scans `sysfsRoot` (the sysfs mount point: its bus/usb/devices and the device folders those
// links lead to, with every link resolved inside `sysfsRoot`, so a copied or hand-made tree
// scans like the live one). The hardware database is used when present; usbfs and the usbip
// tool's records only when `sysfsRoot` is the live /sys. Throws SysfsError when the root is
// not a sysfs USB tree. A device that vanishes during the scan, or whose attributes are
// missing or malformed, is skipped or read with defaults; the scan goes on.
model::UsbModel ScanSysfs(const std::string& sysfsRoot = kLiveSysfsRoot);
model::UsbModel ScanSysfs(const std::string& sysfsRoot, const SysfsScanOptions& options);

}  // namespace keldar
