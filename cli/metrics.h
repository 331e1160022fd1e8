// The node exporter's textfile format: what the last detection found, for Prometheus.
#pragma once

#include <cstddef>
#include <ostream>
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

// Writes `text` to a temporary file beside `path`, then renames it over `path`, so that a
// collector never reads half a file. On failure one line on `err` and false.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::ostream& err);

}  // namespace keldar::cli
