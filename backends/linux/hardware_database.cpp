// udev's hardware database (hwdb.bin) through libudev, which is optional at run time.
#include <memory>
#include <string_view>
#include <utility>

#include "backends/linux/libudev.h"
#include "backends/linux/sysfs_scanner.h"

namespace keldar {

namespace {

class UdevHardwareDatabase {
 public:
  static std::shared_ptr<UdevHardwareDatabase> Open() {
    auto udev = Libudev::Open();
    if (udev == nullptr) return nullptr;
    auto database = std::shared_ptr<UdevHardwareDatabase>(new UdevHardwareDatabase(std::move(udev)));
    if (!database->Load()) return nullptr;
    return database;
  }

  ~UdevHardwareDatabase() {
    if (hwdb_ != nullptr) hwdbUnref_(hwdb_);
  }

  std::optional<std::string> ModelName(const std::string& key) const {
    for (void* entry = hwdbProperties_(hwdb_, key.c_str(), 0); entry != nullptr;
         entry = listNext_(entry)) {
      const char* name = listName_(entry);
      const char* value = listValue_(entry);
      if (name != nullptr && value != nullptr && std::string_view(name) == "ID_MODEL_FROM_DATABASE")
        return std::string(value);
    }
    return std::nullopt;
  }

 private:
  using Unref = void* (*)(void*);
  using HwdbNew = void* (*)(void*);
  using Properties = void* (*)(void*, const char*, unsigned);
  using Next = void* (*)(void*);
  using Text = const char* (*)(void*);

  explicit UdevHardwareDatabase(std::shared_ptr<Libudev> udev) : udev_(std::move(udev)) {}

  bool Load() {
    HwdbNew hwdbNew = nullptr;
    if (!udev_->Find(hwdbNew, "udev_hwdb_new") || !udev_->Find(hwdbUnref_, "udev_hwdb_unref") ||
        !udev_->Find(hwdbProperties_, "udev_hwdb_get_properties_list_entry") ||
        !udev_->Find(listNext_, "udev_list_entry_get_next") ||
        !udev_->Find(listName_, "udev_list_entry_get_name") ||
        !udev_->Find(listValue_, "udev_list_entry_get_value"))
      return false;
    // No hwdb.bin on this machine: udev_hwdb_new fails.
    hwdb_ = hwdbNew(udev_->Context());
    return hwdb_ != nullptr;
  }

  std::shared_ptr<Libudev> udev_;
  void* hwdb_ = nullptr;
  Unref hwdbUnref_ = nullptr;
  Properties hwdbProperties_ = nullptr;
  Next listNext_ = nullptr;
  Text listName_ = nullptr;
  Text listValue_ = nullptr;
};

}  // namespace

ModelNameLookup HardwareDatabaseLookup() {
  if (auto database = UdevHardwareDatabase::Open())
    return [database](const std::string& key) { return database->ModelName(key); };
  return {};
}

}  // namespace keldar
