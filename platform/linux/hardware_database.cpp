// udev's hardware database (hwdb.bin) through libudev, reached through dlopen: the library is
// optional at run time.
#include <dlfcn.h>

#include <memory>
#include <string_view>

#include "platform/linux/sysfs_scanner.h"

namespace keldar {

namespace {

// libudev's hwdb, reached through dlopen: the library is optional at run time.
class UdevHardwareDatabase {
 public:
  static std::shared_ptr<UdevHardwareDatabase> Open() {
    void* library = ::dlopen("libudev.so.1", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    auto database = std::shared_ptr<UdevHardwareDatabase>(new UdevHardwareDatabase(library));
    if (!database->Load()) return nullptr;
    return database;
  }

  ~UdevHardwareDatabase() {
    if (hwdb_ != nullptr) hwdbUnref_(hwdb_);
    if (udev_ != nullptr) udevUnref_(udev_);
    ::dlclose(library_);
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
  using New = void* (*)();
  using Unref = void* (*)(void*);
  using HwdbNew = void* (*)(void*);
  using Properties = void* (*)(void*, const char*, unsigned);
  using Next = void* (*)(void*);
  using Text = const char* (*)(void*);

  explicit UdevHardwareDatabase(void* library) : library_(library) {}

  template <typename Function>
  bool Find(Function& function, const char* symbol) {
    function = reinterpret_cast<Function>(::dlsym(library_, symbol));
    return function != nullptr;
  }

  bool Load() {
    New udevNew = nullptr;
    HwdbNew hwdbNew = nullptr;
    if (!Find(udevNew, "udev_new") || !Find(udevUnref_, "udev_unref") ||
        !Find(hwdbNew, "udev_hwdb_new") || !Find(hwdbUnref_, "udev_hwdb_unref") ||
        !Find(hwdbProperties_, "udev_hwdb_get_properties_list_entry") ||
        !Find(listNext_, "udev_list_entry_get_next") ||
        !Find(listName_, "udev_list_entry_get_name") ||
        !Find(listValue_, "udev_list_entry_get_value"))
      return false;
    udev_ = udevNew();
    if (udev_ == nullptr) return false;
    // No hwdb.bin on this machine: udev_hwdb_new fails.
    hwdb_ = hwdbNew(udev_);
    return hwdb_ != nullptr;
  }

  void* library_;
  void* udev_ = nullptr;
  void* hwdb_ = nullptr;
  Unref udevUnref_ = nullptr;
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
