// A fake sysfs root built at test time from a compact description (tests/data/sysfs/*.json):
// device folders with their attribute files, the bus/usb/devices links, extra files and links.
// Sysfs names carry colons, which Windows file names cannot: Linux only.
#pragma once

#if !defined(_WIN32)

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

namespace keldar::testing {

namespace fs = std::filesystem;
using nlohmann::json;

// A value is a text (written with a line break, as the kernel does), null (an empty file), or
// {"hex": "12 01 ..."} for binary attributes such as descriptors.
inline void WriteValue(const fs::path& file, const json& value) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  if (value.is_null()) return;
  if (value.is_object()) {
    std::istringstream hex(value.at("hex").get<std::string>());
    unsigned byte = 0;
    while (hex >> std::hex >> byte) out.put(static_cast<char>(byte));
    return;
  }
  out << value.get<std::string>() << '\n';
}

// A fake sysfs root made from a description; removed again with the object.
class SysfsTree {
 public:
  explicit SysfsTree(const std::string& description) : SysfsTree() {
    std::ifstream in(fs::path(KELDAR_TEST_DATA_DIR) / "sysfs" / description);
    const json tree = json::parse(in);
    const fs::path links = root_ / "bus/usb/devices";
    fs::create_directories(links);
    for (const auto& [name, device] : tree.at("devices").items()) {
      const std::string at = device.at("at");
      fs::create_directories(root_ / at);
      for (const auto& [attribute, value] : device.at("attributes").items())
        WriteValue(root_ / at / attribute, value);
      fs::create_symlink(device.value("link", "../../../" + at), links / name);
    }
    const json files = tree.value("files", json::object());
    for (const auto& [path, value] : files.items()) WriteValue(root_ / path, value);
    const json extraLinks = tree.value("links", json::object());
    for (const auto& [path, target] : extraLinks.items()) {
      fs::create_directories((root_ / path).parent_path());
      fs::create_symlink(target.get<std::string>(), root_ / path);
    }
  }
  SysfsTree() {
    std::string pattern = (fs::temp_directory_path() / "keldar-sysfs-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
  }
  ~SysfsTree() { fs::remove_all(root_); }

  std::string Root() const { return root_.string(); }
  fs::path Path(const std::string& relative) const { return root_ / relative; }

 private:
  fs::path root_;
};

}  // namespace keldar::testing

#endif
