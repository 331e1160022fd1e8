// Live USB on Windows: the hub drivers through the real calls; recorded as it goes when the
// topology is to be exported.
#include "cli/source.h"
#include "model/topology_file.h"
#include "backends/recording/recording_platform.h"
#include "backends/win32/win32_platform.h"

namespace keldar::cli {

const bool kLiveIsSysfs = false;

Detected DetectLive(const Machine& /*machine*/, std::ostream& err, std::string* topology) {
  Win32Platform system;
  if (topology == nullptr) return DetectOnPlatform(system, GetACP(), "live", err, true);
  RecordingPlatform recorder(system, GetACP());
  Detected detected = DetectOnPlatform(recorder, GetACP(), "live", err, true);
  if (detected.report) *topology = WriteTopology(recorder.RecordedModel());
  return detected;
}

}  // namespace keldar::cli
