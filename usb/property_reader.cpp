#include "usb/property_reader.h"

#include <new>

#include "usb/access.h"

namespace keldar {

namespace {
// A property that keeps growing between reads is given up after this many re-allocations.
constexpr int kMaxReallocations = 4;
}  // namespace

bool WorkingBuffer::Reallocate(DWORD size) {
  std::unique_ptr<char[]> fresh(new (std::nothrow) char[static_cast<std::size_t>(size) + 1]());
  if (!fresh) return false;
  bytes_ = std::move(fresh);
  capacity_ = size;
  return true;
}

AnsiText WorkingBuffer::Release() {
  capacity_ = 0;
  return AnsiText::Adopt(std::move(bytes_));
}

bool ReadProperty(Platform& platform, HDEVINFO set, SP_DEVINFO_DATA& element, DWORD property,
                  WorkingBuffer& buffer, DWORD& size, DWORD& required) {
  for (int reallocations = 0;; ++reallocations) {
    DWORD dataType = 0;
    if (platform.SetupDiGetDeviceRegistryPropertyA(set, &element, property, &dataType,
                                                   buffer.data(), size, &required))
      return true;
    if (platform.GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    // A required size that does not grow, or grows without end, would hold the loop forever.
    if (reallocations == kMaxReallocations || required <= size ||
        required > kMaxNameReplySize)
      return false;
    if (!buffer.Reallocate(required)) return false;
    size = required;
  }
}

}  // namespace keldar
