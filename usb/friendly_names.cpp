#include "usb/friendly_names.h"

#include <algorithm>
#include <memory>
#include <new>

#include "usb/access.h"

namespace keldar {

namespace {

// The buffer handling below is FindFriendlyName's, read for read: the same declared sizes, the
// same re-allocations and the same give-up points, so that every answer is the text that
// lookup would have returned. The differential test holds the two together.

// One working buffer. The platform is offered `capacity` bytes; one more 0 byte lies behind
// them, so a property stored without its terminator still ends inside the block.
class WorkingBuffer {
 public:
  BYTE* data() { return reinterpret_cast<BYTE*>(bytes_.get()); }
  const char* text() const { return bytes_ ? bytes_.get() : ""; }
  DWORD capacity() const { return capacity_; }
  // A new zero-filled block replaces the old one; on failure the old one stays.
  bool Reallocate(DWORD size) {
    std::unique_ptr<char[]> fresh(new (std::nothrow) char[static_cast<std::size_t>(size) + 1]());
    if (!fresh) return false;
    bytes_ = std::move(fresh);
    capacity_ = size;
    return true;
  }

 private:
  std::unique_ptr<char[]> bytes_;
  DWORD capacity_ = 0;
};

// A property that keeps growing between reads is given up after this many re-allocations.
constexpr int kMaxReallocations = 4;

// Reads a text property into `buffer`, first declaring `size` bytes, then re-allocating to the
// required size while the platform answers ERROR_INSUFFICIENT_BUFFER. On return `size` is the
// size declared on the last read and `required` what the platform last reported. True when the
// last read succeeded.
bool ReadProperty(Platform& platform, HDEVINFO set, SP_DEVINFO_DATA& element, DWORD property,
                  WorkingBuffer& buffer, DWORD& size, DWORD& required) {
  for (int reallocations = 0;; ++reallocations) {
    DWORD dataType = 0;
    if (platform.SetupDiGetDeviceRegistryPropertyA(set, &element, property, &dataType,
                                                   buffer.data(), size, &required))
      return true;
    if (platform.GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    if (reallocations == kMaxReallocations || required <= size ||
        required > kMaxNameReplySize)
      return false;
    if (!buffer.Reallocate(required)) return false;
    size = required;
  }
}

}  // namespace

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
