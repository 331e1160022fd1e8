// Builds without libudev: the watcher polls.
#include "backends/linux/usb_events.h"

namespace keldar {

std::unique_ptr<UsbEvents> OpenUsbEvents() { return nullptr; }

}  // namespace keldar
