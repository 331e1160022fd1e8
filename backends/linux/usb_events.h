// USB devices coming and going, as udev announces them: a descriptor that becomes readable
// when an event is waiting, so that a watcher sleeps until the USB changes.
#pragma once

#include <memory>

namespace keldar {

class UsbEvents {
 public:
  virtual ~UsbEvents() = default;
  // Readable (poll) while an event is waiting.
  virtual int Descriptor() const = 0;
  // Takes every waiting event; returns how many there were.
  virtual int Drain() = 0;
};

// udev's monitor of the "usb" subsystem through libudev, loaded at run time. None where
// libudev is missing or the monitor cannot be opened (no netlink, as in many containers): the
// watcher then polls.
std::unique_ptr<UsbEvents> OpenUsbEvents();

}  // namespace keldar
