// Large USB models made to measure: a machine with any number of controllers, ports, hub tiers,
// devices and present devices that are not on USB, for the benchmarks and for tests that need
// many varied databases. The same options and seed always give the same model.
#pragma once

#include <cstddef>
#include <string>
#include <vector>
#include <cstdint>

#include "model/usb_model.h"

namespace keldar::model {

struct MachineShape {
  // Device-tree items to make: the computer, the controllers, the root hubs and one item per
  // hub port. The ports are handed out until this many items exist (or every root hub has
  // 255 ports).
  std::size_t treeItems = 1000;
  // Host controllers, 1 to 10 (HCD0 to HCD9); 0 picks one per 200 items.
  int controllers = 0;
  int hubPorts = 7;     // ports of each external hub
  int hubTiers = 3;     // external hub tiers below a root hub, 0 to 5
  int hubPercent = 20;  // ports with an external hub (while a tier is left)
  int devicePercent = 35;  // ports with a device that is not a hub; the rest are empty
  // Present devices of the database that are not on USB (disks, display, system devices); a
  // realistic machine has 150 to 400 present devices in all.
  std::size_t otherDevices = 300;
  std::uint32_t seed = 1;

  // Quirks of the device-installation database, each in percent of the devices it can apply to.
  int duplicateKeyPercent = 0;    // a device carries a key an earlier device already carries
  int caseVariantPercent = 0;     // a non-USB device carries a USB key in other letter case
  int noDriverKeyPercent = 0;     // a device without a driver key
  int noFriendlyNamePercent = 0;  // a device without a friendly name
  int driverKeyReadFailsPercent = 0;     // its driver-key read fails
  int friendlyNameReadFailsPercent = 0;  // its friendly-name read fails after a re-allocation
};

UsbModel GenerateMachine(const MachineShape& shape);

// The items a tree walk makes from `model` when no query fails: the computer, each controller
// up to the first that cannot be opened, each root hub, and one item per port of every hub
// whose ports are walked (five tiers of external hubs at most).
std::size_t CountTreeItems(const UsbModel& model);

// Entries of the device-installation database: controllers, USB devices, other devices.
std::size_t CountPresentDevices(const UsbModel& model);

// The driver keys of the database's entries in enumeration order (entries without one left out).
std::vector<std::string> DriverKeysOf(const UsbModel& model);

}  // namespace keldar::model
