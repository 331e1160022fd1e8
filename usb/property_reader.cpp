#include "usb/property_reader.h"

#include <algorithm>
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

PresentDevices::PresentDevices(Platform& platform)
    : platform_(platform),
      set_(platform.SetupDiGetClassDevsA(nullptr, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_ALLCLASSES)) {
  // The structure's own size: a 64-bit SetupDiEnumDeviceInfo refuses the 32-bit one.
  element_.cbSize = sizeof(SP_DEVINFO_DATA);
}

PresentDevices::~PresentDevices() {
  if (set_ != INVALID_HANDLE_VALUE) platform_.SetupDiDestroyDeviceInfoList(set_);
}

bool PresentDevices::NextDevice() {
  hasDriverKey_ = false;
  if (set_ == INVALID_HANDLE_VALUE) return false;
  if (!platform_.SetupDiEnumDeviceInfo(set_, index_++, &element_)) return false;
  // Declaring 0 bytes first gives every device with a driver key a fresh buffer, so what a
  // device answers does not depend on the devices read before it.
  size_ = 0;
  required_ = 0;
  const bool read =
      ReadProperty(platform_, set_, element_, SPDRP_DRIVER, buffer_, size_, required_);
  // A success with nothing offered wrote nothing: the buffer still holds an earlier key.
  hasDriverKey_ = read && size_ != 0;
  return true;
}

bool PresentDevices::NextDriverKey() {
  while (NextDevice())
    if (hasDriverKey_) return true;
  return false;
}

WorkingBuffer& PresentDevices::ReadFriendlyName() {
  // What the driver-key read reported, but never more than the buffer holds.
  size_ = std::min(required_, buffer_.capacity());
  ReadProperty(platform_, set_, element_, SPDRP_FRIENDLYNAME, buffer_, size_, required_);
  return buffer_;
}

}  // namespace keldar
