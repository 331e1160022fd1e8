// Reading a text property of the device-installation database with the two-step protocol
// (declare a size, re-allocate to what the platform requires). Shared by FindFriendlyName and
// the per-detection snapshot of friendly names, which must read exactly alike.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "usb/ansi_text.h"

namespace keldar {

// One working buffer. The platform is offered `capacity` bytes; one more 0 byte lies behind
// them, so a property stored without its terminator still ends inside the block.
class WorkingBuffer {
 public:
  BYTE* data() { return reinterpret_cast<BYTE*>(bytes_.get()); }
  const char* text() const { return bytes_ ? bytes_.get() : ""; }
  DWORD capacity() const { return capacity_; }
  // A new zero-filled block replaces the old one; on failure the old one stays.
  bool Reallocate(DWORD size);
  // Hands the block over as a text (none when nothing was ever allocated).
  AnsiText Release();

 private:
  std::unique_ptr<char[]> bytes_;
  DWORD capacity_ = 0;
};

// Reads a text property into `buffer`, first declaring `size` bytes, then re-allocating to the
// required size while the platform answers ERROR_INSUFFICIENT_BUFFER. On return `size` is the
// size declared on the last read and `required` what the platform last reported. True when the
// last read succeeded.
bool ReadProperty(Platform& platform, HDEVINFO set, SP_DEVINFO_DATA& element, DWORD property,
                  WorkingBuffer& buffer, DWORD& size, DWORD& required);

// The set of present devices, walked in enumeration order device by device with one working
// buffer, as the friendly-name lookup reads it. The set is destroyed with the object.
class PresentDevices {
 public:
  explicit PresentDevices(Platform& platform);
  ~PresentDevices();
  PresentDevices(const PresentDevices&) = delete;
  PresentDevices& operator=(const PresentDevices&) = delete;

  // Moves to the next device that has a readable driver key; false after the last (or when
  // the platform gave no set).
  bool NextDriverKey();
  // Moves to the next device, with or without a driver key; false after the last.
  bool NextDevice();
  // Whether the current device's driver key was read.
  bool HasDriverKey() const { return hasDriverKey_; }
  bool Opened() const { return set_ != INVALID_HANDLE_VALUE; }
  HDEVINFO Set() const { return set_; }
  const SP_DEVINFO_DATA& Element() const { return element_; }
  // The current device's driver key.
  const char* DriverKey() const { return buffer_.text(); }
  // Reads the current device's friendly name into the working buffer and returns it: its
  // driver key when it has no friendly name, an empty text when the read failed after a
  // re-allocation.
  WorkingBuffer& ReadFriendlyName();

 private:
  Platform& platform_;
  HDEVINFO set_;
  SP_DEVINFO_DATA element_{};
  DWORD index_ = 0;
  WorkingBuffer buffer_;
  DWORD size_ = 0;
  DWORD required_ = 0;
  bool hasDriverKey_ = false;
};

}  // namespace keldar
