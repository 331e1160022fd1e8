// The sysfs scanner over a small kernel-shaped tree whose attribute files and `descriptors`
// bytes come from the fuzzer: a root hub usb1 and a chain 1-1, 1-1.1, 1-1.1.1 below it, each
// with every attribute the scanner reads. The tree is made once; each input rewrites the files
// (an attribute may also be missing). The model scanned is then detected on.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "detect/report.h"
#include "backends/model/model_platform.h"
#include "backends/linux/sysfs_scanner.h"

namespace {

namespace fs = std::filesystem;

struct FakeDevice {
  const char* name;
  const char* at;
};

constexpr FakeDevice kDevices[] = {
    {"usb1", "devices/pci0000:00/0000:00:14.0/usb1"},
    {"1-1", "devices/pci0000:00/0000:00:14.0/usb1/1-1"},
    {"1-1.1", "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.1"},
    {"1-1.1.1", "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.1/1-1.1.1"},
};

constexpr const char* kAttributes[] = {
    "descriptors", "maxchild",        "bmAttributes",    "idVendor",           "idProduct",
    "version",     "bcdDevice",       "bDeviceClass",    "bDeviceSubClass",    "bDeviceProtocol",
    "bMaxPacketSize0", "bNumConfigurations", "speed",    "devnum",             "bConfigurationValue",
    "product",     "manufacturer",
};

class FakeSysfs {
 public:
  FakeSysfs() {
    std::string pattern = (fs::temp_directory_path() / "keldar-fuzz-sysfs-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root_ = pattern;
    fs::create_directories(root_ / "bus/usb/devices");
    for (const FakeDevice& device : kDevices) {
      fs::create_directories(root_ / device.at);
      fs::create_symlink(fs::path("../../..") / device.at, root_ / "bus/usb/devices" / device.name);
    }
  }
  ~FakeSysfs() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  void Write(FuzzedDataProvider& input) {
    const std::string controller = "devices/pci0000:00/0000:00:14.0/modalias";
    WriteOrRemove(root_ / controller, input);
    for (const FakeDevice& device : kDevices)
      for (const char* attribute : kAttributes) WriteOrRemove(root_ / device.at / attribute, input);
  }

  const fs::path& Root() const { return root_; }

 private:
  static void WriteOrRemove(const fs::path& file, FuzzedDataProvider& input) {
    if (input.ConsumeIntegralInRange<int>(0, 7) == 0) {
      std::error_code ignored;
      fs::remove(file, ignored);
      return;
    }
    const std::string bytes = input.ConsumeRandomLengthString(64);
    std::ofstream(file, std::ios::binary | std::ios::trunc).write(bytes.data(),
                                                                 static_cast<std::streamsize>(bytes.size()));
  }

  fs::path root_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FakeSysfs sysfs;
  FuzzedDataProvider input(data, size);
  sysfs.Write(input);

  keldar::model::UsbModel model;
  try {
    // No hardware database and no usbfs: only the tree's own files are read.
    model = keldar::ScanSysfs(sysfs.Root().string(), keldar::SysfsScanOptions{});
  } catch (const keldar::SysfsError&) {
    return 0;
  }
  keldar::ModelPlatform platform(model);
  DWORD error = 0;
  (void)keldar::RunDetection(platform, model.ansiCodePage, "live", &error);
  if (platform.OpenHandleCount() != 0 || platform.OpenDeviceSetCount() != 0) std::abort();
  return 0;
}
