// The requests of one detection to host controllers and hubs, each bounded in time. The dialog
// runs its detection on its only thread: a hub driver that never answers (a vendor's USB 3
// stack in a bad state, the virtual hub of a USB-over-network product whose server went away)
// would otherwise freeze the program for good.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace keldar {

// How long a controller or hub may take to answer one request. The hub drivers answer these
// from what they hold in memory, in well under a millisecond; at worst one waits for a port
// that is being reset, a few hundred milliseconds.
inline constexpr DWORD kRequestDeadlineMs = 2000;
// How long a request that was cancelled may take to end.
inline constexpr DWORD kCancelGraceMs = 1000;

class DeviceRequests {
 public:
  // Makes the event the requests end on. A platform that gives none is asked without
  // FILE_FLAG_OVERLAPPED, as a platform whose requests answer at once needs.
  explicit DeviceRequests(Platform& platform);
  ~DeviceRequests();
  DeviceRequests(const DeviceRequests&) = delete;
  DeviceRequests& operator=(const DeviceRequests&) = delete;

  Platform& platform() const { return platform_; }

  // Opens a controller or hub by its path, for requests bounded in time when the platform
  // allows it. INVALID_HANDLE_VALUE when it does not open.
  HANDLE Open(const char* path);

  // Sends one control code to a handle from Open; `in` and `out` may be the same memory.
  // Nonzero with the output filled when the driver answered; zero when it failed, and when it
  // did not answer within kRequestDeadlineMs: the request is then cancelled, and the output
  // is left as it was.
  BOOL Send(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize);

  // How many requests went unanswered past the deadline.
  int Unanswered() const;
  // The paths of the devices that left requests unanswered, each with how many, in the order
  // they first did.
  struct UnansweredDevice {
    std::string path;
    int requests = 0;
  };
  const std::vector<UnansweredDevice>& UnansweredDevices() const { return unansweredDevices_; }

 private:
  Platform& platform_;
  HANDLE event_ = nullptr;
  bool bounded_ = false;  // whether handles are opened with FILE_FLAG_OVERLAPPED
  std::vector<UnansweredDevice> unansweredDevices_;
  std::map<HANDLE, std::string> paths_;  // of the handles Open gave, by handle
  void CountUnanswered(HANDLE device);
};

}  // namespace keldar
