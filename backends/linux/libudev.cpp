#include "backends/linux/libudev.h"

namespace keldar {

std::shared_ptr<Libudev> Libudev::Open() {
  void* library = ::dlopen("libudev.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return nullptr;
  std::shared_ptr<Libudev> udev(new Libudev(library));
  void* (*udevNew)() = nullptr;
  if (!udev->Find(udevNew, "udev_new") || !udev->Find(udev->udevUnref_, "udev_unref"))
    return nullptr;
  udev->udev_ = udevNew();
  return udev->udev_ != nullptr ? udev : nullptr;
}

Libudev::~Libudev() {
  if (udev_ != nullptr) udevUnref_(udev_);
  ::dlclose(library_);
}

}  // namespace keldar
