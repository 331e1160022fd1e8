#include "usb/friendly_names.h"

#include <algorithm>
#include <memory>
#include <new>

#include "usb/access.h"
#include "usb/property_reader.h"

namespace keldar {

// The same reads as FindFriendlyName, through the same property reader: the same declared
// sizes, re-allocations and give-up points, so every answer is the text that lookup would have
// returned. The differential test holds the two together.

FriendlyNames FriendlyNames::Read(Platform& platform) {
  FriendlyNames snapshot;
  PresentDevices devices(platform);
  while (devices.NextDriverKey()) {
    std::string driverKey = devices.DriverKey();
    // The first device in enumeration order answers for its key; later ones are never asked.
    if (snapshot.names_.count(driverKey) != 0) continue;
    snapshot.names_.emplace(std::move(driverKey), devices.ReadFriendlyName().text());
  }
  return snapshot;
}

const char* FriendlyNames::Find(const char* driverKey) const {
  if (driverKey == nullptr) return nullptr;
  const auto found = names_.find(driverKey);
  return found != names_.end() ? found->second.c_str() : nullptr;
}

const char* FriendlyNameLookup::Find(const char* driverKey) {
  if (driverKey == nullptr) return nullptr;
  if (!snapshot_) snapshot_ = FriendlyNames::Read(platform_);
  return snapshot_->Find(driverKey);
}

}  // namespace keldar
