// A path in the temporary folder that no other test process uses at the same time: builds of
// several presets may run their suites side by side.
#pragma once

#include <filesystem>
#include <random>
#include <string>

namespace keldar::testing {

inline std::filesystem::path ScratchPath(const std::string& name) {
  static const std::string run = [] {
    std::random_device entropy;
    return std::to_string(entropy()) + "-" + std::to_string(entropy());
  }();
  return std::filesystem::temp_directory_path() / ("keldar-test-" + run + "-" + name);
}

}  // namespace keldar::testing
