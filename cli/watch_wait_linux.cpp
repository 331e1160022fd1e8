// The watcher's wait on Linux: poll on udev's USB events (when asked for and available) and on
// a pipe that SIGINT and SIGTERM write to, bounded by the interval.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "cli/watch.h"
#include "backends/linux/usb_events.h"

namespace keldar::cli {

namespace {

// The one watch a process runs; the handler may touch nothing but these.
volatile sig_atomic_t stopRequested = 0;
int stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  const int saved = errno;
  stopRequested = 1;
  if (stopPipe[1] >= 0) (void)!::write(stopPipe[1], "x", 1);
  errno = saved;
}

void InstallStopHandlers() {
  if (stopPipe[0] < 0 && ::pipe(stopPipe) == 0) {
    for (const int end : stopPipe) ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // A call the signal interrupts is resumed, so that no detection fails for it ("Interrupted
  // system call"); the wait's poll returns all the same, and the watch ends there.
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

// A device arriving brings a burst of events (the device, then its interfaces): they are
// taken together, so that one detection sees the device whole.
constexpr int kSettleMilliseconds = 50;

bool Wait(UsbEvents* events, double seconds) {
  if (stopRequested) return false;
  int timeout = static_cast<int>(std::clamp(seconds, 0.0, 86400.0) * 1000);
  for (;;) {
    pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {events ? events->Descriptor() : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (stopRequested) return false;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || events == nullptr || (fds[1].revents & POLLIN) == 0) return true;
    events->Drain();
    timeout = kSettleMilliseconds;
  }
}

}  // namespace

WatchClock SystemWatchClock(bool usbEvents) {
  InstallStopHandlers();
  std::shared_ptr<UsbEvents> events = usbEvents ? OpenUsbEvents() : nullptr;
  return {SystemTime,
          [events](double seconds) { return Wait(events.get(), seconds); }};
}

}  // namespace keldar::cli
