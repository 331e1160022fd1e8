// Files of tests/data, read whole as bytes.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace keldar::testing {

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

// `relative` below tests/data.
inline std::string ReadData(const std::string& relative) {
  return ReadFile(std::filesystem::path(KELDAR_TEST_DATA_DIR) / relative);
}

}  // namespace keldar::testing
