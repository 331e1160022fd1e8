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
  HDEVINFO set =
      platform.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return snapshot;

  WorkingBuffer buffer;
  SP_DEVINFO_DATA element{};
  element.cbSize = sizeof(SP_DEVINFO_DATA);
  for (DWORD index = 0; platform.SetupDiEnumDeviceInfo(set, index, &element); ++index) {
    // Declaring 0 bytes first gives every device with a driver key a fresh buffer, so what a
    // device answers does not depend on the devices read before it.
    DWORD size = 0;
    DWORD required = 0;
    const bool read =
        ReadProperty(platform, set, element, SPDRP_DRIVER, buffer, size, required);
    if (!read || size == 0) continue;
    std::string driverKey = buffer.text();
    // The first device in enumeration order answers for its key; later ones are never asked.
    if (snapshot.names_.count(driverKey) != 0) continue;
    size = std::min(required, buffer.capacity());
    // A device without a friendly name leaves its driver key in the buffer; a read that fails
    // after a re-allocation leaves the new empty buffer.
    ReadProperty(platform, set, element, SPDRP_FRIENDLYNAME, buffer, size, required);
    snapshot.names_.emplace(std::move(driverKey), buffer.text());
  }
  platform.SetupDiDestroyDeviceInfoList(set);
  return snapshot;
}

const char* FriendlyNames::Find(const char* driverKey) const {
  if (driverKey == nullptr) return nullptr;
  const auto found = names_.find(driverKey);
  return found != names_.end() ? found->second.c_str() : nullptr;
}

}  // namespace keldar
