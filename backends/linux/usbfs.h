// The one request the scanner makes of a device through usbfs: a hub's own descriptor, for
// the fields sysfs does not carry. Linux builds ask the device; other builds never do.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace keldar {

// A device node below usbfs ("/dev/bus/usb/BBB/DDD") and the character device (major:minor)
// the sysfs tree says it is.
struct UsbfsDevice {
  std::string usbfsRoot;
  unsigned bus = 0;
  unsigned address = 0;
  unsigned major = 0;
  unsigned minor = 0;
};

// GET_DESCRIPTOR of the hub class for `descriptorType`, as the hub sent it. Only when the
// process may open the node for writing, which usbfs requires for control requests, and only
// when the node is the very device the sysfs tree describes, so that a copied tree never picks
// up this machine's hubs. None otherwise.
std::optional<std::vector<std::uint8_t>> AskHubDescriptor(const UsbfsDevice& device,
                                                          std::uint8_t descriptorType);

}  // namespace keldar
