// The watcher's wait where there are no USB events to wait on (the Windows console polls):
// sleeps through the interval in short steps, so that Ctrl-C (and SIGTERM where it exists)
// ends the watch promptly.
#include <algorithm>
#include <csignal>
#include <chrono>
#include <thread>

#include "cli/watch.h"

namespace keldar::cli {

namespace {

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void OnStopSignal(int) { stopRequested = 1; }

constexpr auto kStep = std::chrono::milliseconds(50);

bool Wait(double seconds) {
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>(std::clamp(seconds, 0.0, 86400.0)));
  while (!stopRequested) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStep, end - now));
  }
  return false;
}

}  // namespace

WatchClock SystemWatchClock(bool) {
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  return {SystemTime, Wait};
}

}  // namespace keldar::cli
