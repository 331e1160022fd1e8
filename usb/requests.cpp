#include "usb/requests.h"

#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace keldar {

namespace {

// One request in flight: the OVERLAPPED and the buffers the driver writes to until it ends.
struct InFlight {
  OVERLAPPED overlapped{};
  std::vector<unsigned char> in;
  std::vector<unsigned char> out;
  HANDLE event = nullptr;
};

// Requests that a driver kept even after their cancellation: it may still write into them, so
// they are never freed, and their event is never closed (it may still be set). Each one is a
// request that went unanswered twice over, and the hub it went to is not asked again in that
// detection, so the list grows by a few hundred bytes per such hub and detection.
// Detections run one at a time on one thread.
void KeepForever(std::unique_ptr<InFlight> request) {
  static auto* kept = new std::vector<std::unique_ptr<InFlight>>();
  kept->push_back(std::move(request));
}

}  // namespace

DeviceRequests::DeviceRequests(Platform& platform) : platform_(platform) {
  event_ = platform_.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  bounded_ = event_ != nullptr;
}

DeviceRequests::~DeviceRequests() {
  if (event_ != nullptr) platform_.CloseHandle(event_);
}

HANDLE DeviceRequests::Open(const char* path) {
  // Controllers and hubs are opened alike: the hub drivers take their IOCTLs on a handle opened
  // for writing, and sharing write access leaves the device usable by other USB tools
  // meanwhile.
  const HANDLE handle = platform_.CreateFileA(path, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, bounded_ ? FILE_FLAG_OVERLAPPED : 0,
                                              nullptr);
  // Only a bounded request can go unanswered, and only then is its device named. A value is
  // handed out again once closed: the latest open names it.
  if (bounded_ && handle != INVALID_HANDLE_VALUE && path != nullptr) paths_[handle] = path;
  return handle;
}

int DeviceRequests::Unanswered() const {
  int requests = 0;
  for (const UnansweredDevice& device : unansweredDevices_) requests += device.requests;
  return requests;
}

void DeviceRequests::CountUnanswered(HANDLE device) {
  const auto path = paths_.find(device);
  const std::string name = path != paths_.end() ? path->second : std::string();
  for (UnansweredDevice& known : unansweredDevices_)
    if (known.path == name) {
      ++known.requests;
      return;
    }
  unansweredDevices_.push_back({name, 1});
}

BOOL DeviceRequests::Send(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                          DWORD outSize) {
  DWORD returned = 0;
  if (!bounded_)
    return platform_.DeviceIoControl(device, code, in, inSize, out, outSize, &returned, nullptr);
  // A handle opened for bounded requests takes no other kind: without an event (the last one
  // went with a request its driver kept) nothing more can be asked.
  if (event_ == nullptr) return FALSE;

  // The driver owns the buffers until the request ends, which may be after this call returns:
  // they are the request's own, copied in and out.
  std::unique_ptr<InFlight> request(new (std::nothrow) InFlight);
  if (!request) return FALSE;
  const bool inPlace = in != nullptr && in == out;
  try {
    if (in != nullptr) request->in.assign(static_cast<unsigned char*>(in), static_cast<unsigned char*>(in) + inSize);
    if (out != nullptr && !inPlace) request->out.assign(outSize, 0);
    if (inPlace && inSize < outSize) request->in.resize(outSize, 0);
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
  void* requestIn = in != nullptr ? request->in.data() : nullptr;
  void* requestOut = out == nullptr ? nullptr : inPlace ? request->in.data() : request->out.data();
  request->event = event_;
  request->overlapped.hEvent = event_;

  auto answer = [&] {
    if (out != nullptr) std::memcpy(out, requestOut, outSize);
    return TRUE;
  };
  if (platform_.DeviceIoControl(device, code, requestIn, inSize, requestOut, outSize, &returned,
                                &request->overlapped))
    return answer();
  if (platform_.GetLastError() != ERROR_IO_PENDING) return FALSE;

  const bool late = platform_.WaitForSingleObject(event_, kRequestDeadlineMs) != WAIT_OBJECT_0;
  if (late) {
    platform_.CancelIoEx(device, &request->overlapped);
    platform_.WaitForSingleObject(event_, kCancelGraceMs);
  }
  // The request alone says how it stands, whatever the waits said; an answer that crossed the
  // cancellation still counts.
  if (platform_.GetOverlappedResult(device, &request->overlapped, &returned, FALSE)) return answer();
  if (late) CountUnanswered(device);
  if (platform_.GetLastError() != ERROR_IO_INCOMPLETE) return FALSE;
  // Still running: its driver keeps it even cancelled, and with it the buffers and the event.
  // The requests after it get an event of their own.
  if (!late) platform_.CancelIoEx(device, &request->overlapped);
  KeepForever(std::move(request));
  event_ = platform_.CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return FALSE;
}

}  // namespace keldar
