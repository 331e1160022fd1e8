// udev's monitor through libudev, which is optional at run time.
#include "backends/linux/usb_events.h"

#include <utility>

#include "backends/linux/libudev.h"

namespace keldar {

namespace {

class UdevMonitor final : public UsbEvents {
 public:
  static std::unique_ptr<UdevMonitor> Open() {
    auto udev = Libudev::Open();
    if (udev == nullptr) return nullptr;
    std::unique_ptr<UdevMonitor> monitor(new UdevMonitor(std::move(udev)));
    if (!monitor->Load()) return nullptr;
    return monitor;
  }

  ~UdevMonitor() override {
    if (monitor_ != nullptr) monitorUnref_(monitor_);
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
  using Unref = void* (*)(void*);
  using FromNetlink = void* (*)(void*, const char*);
  using MatchSubsystem = int (*)(void*, const char*, const char*);
  using Enable = int (*)(void*);
  using GetFd = int (*)(void*);
  using Receive = void* (*)(void*);

  explicit UdevMonitor(std::shared_ptr<Libudev> udev) : udev_(std::move(udev)) {}

  bool Load() {
    FromNetlink fromNetlink = nullptr;
    MatchSubsystem matchSubsystem = nullptr;
    Enable enable = nullptr;
    GetFd getFd = nullptr;
    if (!udev_->Find(fromNetlink, "udev_monitor_new_from_netlink") ||
        !udev_->Find(monitorUnref_, "udev_monitor_unref") ||
        !udev_->Find(matchSubsystem, "udev_monitor_filter_add_match_subsystem_devtype") ||
        !udev_->Find(enable, "udev_monitor_enable_receiving") ||
        !udev_->Find(getFd, "udev_monitor_get_fd") ||
        !udev_->Find(receive_, "udev_monitor_receive_device") ||
        !udev_->Find(deviceUnref_, "udev_device_unref"))
      return false;
    // "udev": events after udev has handled them, so the device's sysfs folder is complete.
    monitor_ = fromNetlink(udev_->Context(), "udev");
    if (monitor_ == nullptr) return false;
    if (matchSubsystem(monitor_, "usb", nullptr) < 0 || enable(monitor_) < 0) return false;
    descriptor_ = getFd(monitor_);
    return descriptor_ >= 0;
  }

  std::shared_ptr<Libudev> udev_;
  void* monitor_ = nullptr;
  int descriptor_ = -1;
  Unref monitorUnref_ = nullptr;
  Receive receive_ = nullptr;
  Unref deviceUnref_ = nullptr;
};

}  // namespace

std::unique_ptr<UsbEvents> OpenUsbEvents() { return UdevMonitor::Open(); }

}  // namespace keldar
