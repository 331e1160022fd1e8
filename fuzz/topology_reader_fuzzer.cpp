// Arbitrary bytes as a topology file: the reader returns a model or throws TopologyError, never
// anything else. A model it accepts is written back and read again (the writer's promise: an
// equal model), and a detection runs on it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "detect/report.h"
#include "backends/model/model_platform.h"
#include "model/topology_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  keldar::model::UsbModel model;
  try {
    model = keldar::ReadTopology(json, "fuzz.json");
  } catch (const keldar::TopologyError&) {
    return 0;
  }

  const std::string written = keldar::WriteTopology(model);
  keldar::model::UsbModel reread;
  try {
    reread = keldar::ReadTopology(written, "written.json");
  } catch (const keldar::TopologyError&) {
    std::abort();  // the writer produced a file its own reader refuses
  }
  if (!(reread == model)) std::abort();

  keldar::ModelPlatform platform(model);
  DWORD error = 0;
  (void)keldar::RunDetection(platform, model.ansiCodePage, "fuzz", &error);
  // Every handle and device set a detection opens is given back before it ends.
  if (platform.OpenHandleCount() != 0 || platform.OpenDeviceSetCount() != 0) std::abort();
  return 0;
}
