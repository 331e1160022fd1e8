// The node exporter's textfile format: what the last detection found, for Prometheus.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/watch.h"

namespace keldar::cli {

struct Metrics {
  std::vector<KeyView> keys;
  std::size_t devices = 0;  // attached devices (the device list's rows)
  double durationSeconds = 0;
  double timestampSeconds = 0;  // Unix time at the end of the detection
};

// The one-shot run's and the watch's alike: keldar_key_usable for each key whose verdict is
// known.
std::string MetricsText(const Metrics& metrics);

}  // namespace keldar::cli
