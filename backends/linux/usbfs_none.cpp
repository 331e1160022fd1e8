// Builds without usbfs: no hub is ever asked, and sysfs alone describes it.
#include "backends/linux/usbfs.h"

namespace keldar {

std::optional<std::vector<std::uint8_t>> AskHubDescriptor(const UsbfsDevice& /*device*/,
                                                          std::uint8_t /*descriptorType*/) {
  return std::nullopt;
}

}  // namespace keldar
