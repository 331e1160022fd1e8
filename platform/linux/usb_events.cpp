// udev's monitor through libudev, reached through dlopen like the hardware database: the
// library is optional at run time.
#include "platform/linux/usb_events.h"

#include <dlfcn.h>

namespace keldar {

namespace {

class UdevMonitor final : public UsbEvents {
 public:
  static std::unique_ptr<UdevMonitor> Open() {
    void* library = ::dlopen("libudev.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    std::unique_ptr<UdevMonitor> monitor(new UdevMonitor(library));
    if (!monitor->Load()) return nullptr;
    return monitor;
  }

  ~UdevMonitor() override {
    if (monitor_ != nullptr) monitorUnref_(monitor_);
    if (udev_ != nullptr) udevUnref_(udev_);
    ::dlclose(library_);
  }

  int Descriptor() const override { return descriptor_; }

  int Drain() override {
    // The descriptor is non-blocking: receive answers null once nothing is waiting.
    int events = 0;
    while (void* device = receive_(monitor_)) {
      deviceUnref_(device);
      ++events;
    }
    return events;
  }

 private:
  using New = void* (*)();
  using Unref = void* (*)(void*);
  using FromNetlink = void* (*)(void*, const char*);
  using MatchSubsystem = int (*)(void*, const char*, const char*);
  using Enable = int (*)(void*);
  using GetFd = int (*)(void*);
  using Receive = void* (*)(void*);

  explicit UdevMonitor(void* library) : library_(library) {}

  template <typename Function>
  bool Find(Function& function, const char* symbol) {
    function = reinterpret_cast<Function>(::dlsym(library_, symbol));
    return function != nullptr;
  }

  bool Load() {
    New udevNew = nullptr;
    FromNetlink fromNetlink = nullptr;
    MatchSubsystem matchSubsystem = nullptr;
    Enable enable = nullptr;
    GetFd getFd = nullptr;
    if (!Find(udevNew, "udev_new") || !Find(udevUnref_, "udev_unref") ||
        !Find(fromNetlink, "udev_monitor_new_from_netlink") ||
        !Find(monitorUnref_, "udev_monitor_unref") ||
        !Find(matchSubsystem, "udev_monitor_filter_add_match_subsystem_devtype") ||
        !Find(enable, "udev_monitor_enable_receiving") ||
        !Find(getFd, "udev_monitor_get_fd") ||
        !Find(receive_, "udev_monitor_receive_device") ||
        !Find(deviceUnref_, "udev_device_unref"))
      return false;
    udev_ = udevNew();
    if (udev_ == nullptr) return false;
    // "udev": events after udev has handled them, so the device's sysfs folder is complete.
    monitor_ = fromNetlink(udev_, "udev");
    if (monitor_ == nullptr) return false;
    if (matchSubsystem(monitor_, "usb", nullptr) < 0 || enable(monitor_) < 0) return false;
    descriptor_ = getFd(monitor_);
    return descriptor_ >= 0;
  }

  void* library_;
  void* udev_ = nullptr;
  void* monitor_ = nullptr;
  int descriptor_ = -1;
  Unref udevUnref_ = nullptr;
  Unref monitorUnref_ = nullptr;
  Receive receive_ = nullptr;
  Unref deviceUnref_ = nullptr;
};

}  // namespace

std::unique_ptr<UsbEvents> OpenUsbEvents() { return UdevMonitor::Open(); }

}  // namespace keldar
