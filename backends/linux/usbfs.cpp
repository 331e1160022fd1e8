// Asking a hub for its own descriptor through usbfs (Linux).
#include "backends/linux/usbfs.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace keldar {

std::optional<std::vector<std::uint8_t>> AskHubDescriptor(const UsbfsDevice& device,
                                                          std::uint8_t descriptorType) {
  char node[16];
  std::snprintf(node, sizeof node, "%03u/%03u", device.bus, device.address);
  const int fd = ::open((std::filesystem::path(device.usbfsRoot) / node).c_str(),
                        O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode) ||
      status.st_rdev != makedev(device.major, device.minor)) {
    ::close(fd);
    return std::nullopt;
  }
  // The longest hub descriptor: seven fixed bytes and the port masks of 255 ports.
  std::vector<std::uint8_t> data(71);
  usbdevfs_ctrltransfer request{};
  request.bRequestType = 0xA0;  // device to host, class request, to the device
  request.bRequest = 0x06;      // GET_DESCRIPTOR
  request.wValue = static_cast<std::uint16_t>(descriptorType << 8);
  request.wIndex = 0;
  request.wLength = static_cast<std::uint16_t>(data.size());
  request.timeout = 1000;  // milliseconds
  request.data = data.data();
  const int received = ::ioctl(fd, USBDEVFS_CONTROL, &request);
  ::close(fd);
  if (received < 0) return std::nullopt;
  data.resize(static_cast<std::size_t>(received));
  return data;
}

}  // namespace keldar
