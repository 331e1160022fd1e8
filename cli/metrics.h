// The node exporter's textfile format: what the last detection found, for Prometheus.
#pragma once

#include <cstddef>
#include <optional>
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

std::string MetricsText(const Metrics& metrics);
// With keldar_key_usable for each key whose verdict is known (`usable`: parallel to the keys).
// The watch's metrics carry no verdicts yet: without `usable`, the family is left out.
std::string MetricsText(const Metrics& metrics, const std::vector<std::optional<bool>>& usable);
std::string MetricsText(const Metrics& metrics, const std::vector<std::optional<bool>>* usable);

}  // namespace keldar::cli
