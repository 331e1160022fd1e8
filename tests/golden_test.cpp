// One test case per golden output, listed when the build is configured (tests/CMakeLists.txt
// refuses a topology without its golden): the fixtures (tests/data/fixtures/NAME.json) and the
// rows of the fault matrix (tests/data/faults/NAME.patch.json, a JSON Patch over
// faults/base.json that injects one fault). The detection's report, as `keldar --json` prints
// it, must equal NAME.golden.json; on a mismatch it is written beside it as NAME.actual.json,
// one diff away. Whatever failed, the detection leaves no handle or device set open; and the
// same detection, recorded on its way through and replayed from the recording, reports the same;
// it sends nothing to a handle whose open failed and opens no empty name.
// Each topology, written and read back, is the same model. A key whose device the file gives a
// Windows state reads the same facts through the platform's answers (as live Windows reads
// them) as the file holds, and a recording of that detection replays them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "cli/output.h"
#include "cli/source.h"
#include "detect/report.h"
#include "model/topology_file.h"
#include "backends/model/model_platform.h"
#include "backends/recording/recording_platform.h"
#include "support/test_data.h"

namespace keldar {
namespace {

namespace fs = std::filesystem;
using testing::ReadData;

struct GoldenCase {
  const char* name;
  const char* topology;  // below tests/data
  const char* patch;     // below tests/data; null for none
  const char* golden;
};

const GoldenCase kCases[] = {
#include "golden_cases.inc"
};

// Failures name the case, not its bytes.
void PrintTo(const GoldenCase& c, std::ostream* out) { *out << c.name; }

// Whether a name query of the model fails its conversion to the code page, which the platform
// does itself: no hub driver or database answers that.
bool RefusesAConversion(const model::Hub& hub) {
  for (const model::Port& port : hub.ports) {
    if (port.faults.driverKeyName == model::NameFault::ConversionFails ||
        port.faults.hubName == model::NameFault::ConversionFails ||
        (port.device && port.device->hub && RefusesAConversion(*port.device->hub)))
      return true;
  }
  return false;
}

bool RefusesAConversion(const model::UsbModel& usb) {
  for (const model::Controller& controller : usb.controllers) {
    if (controller.faults.driverKeyName == model::NameFault::ConversionFails ||
        controller.faults.rootHubName == model::NameFault::ConversionFails ||
        (controller.rootHub && RefusesAConversion(*controller.rootHub)))
      return true;
  }
  return false;
}

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, ReportMatchesTheGoldenOutput) {
  const GoldenCase& c = GetParam();
  std::string topology = ReadData(c.topology);
  if (c.patch != nullptr)
    topology =
        nlohmann::json::parse(topology).patch(nlohmann::json::parse(ReadData(c.patch))).dump();
  const std::string file = std::string(c.name) + ".json";
  const model::UsbModel usb = ReadTopology(topology, file);
  EXPECT_TRUE(ReadTopology(WriteTopology(usb), file) == usb) << "written and read back";
  ModelPlatform platform(usb);
  DWORD error = 0;
  const auto detect = [&](Platform& on) {
    std::ostringstream json;
    std::optional<DetectionReport> report =
        RunDetection(on, usb.ansiCodePage, "topology:" + file, &error);
    // The key facts are the file's, whichever platform answered the detection.
    if (report) cli::JoinKeyFacts(usb, *report);
    if (report) cli::WriteJson(*report, json);
    return json.str();
  };
  const std::string shown = detect(platform);
  ASSERT_FALSE(shown.empty()) << "computer name error " << error;
  EXPECT_EQ(platform.OpenHandleCount(), 0u);
  EXPECT_EQ(platform.OpenDeviceSetCount(), 0u);
  EXPECT_EQ(platform.Counts().requestsOnUnopenedHandles, 0u) << "a request to a failed open";
  EXPECT_EQ(platform.Counts().opensWithoutName, 0u) << "an open of an empty name";
  EXPECT_EQ(platform.Counts().requestsThatWouldBlock, 0u) << "a request that waits for ever";
  EXPECT_EQ(platform.Counts().pendingRequests, platform.Counts().cancelledRequests)
      << "a request left pending";

  ModelPlatform recorded(usb);
  RecordingPlatform recorder(recorded, usb.ansiCodePage);
  EXPECT_EQ(detect(recorder), shown);
  // A recording holds what the hub driver and the database answered; a name the code page
  // refused (which Windows never does) is not theirs to answer, and replays converted.
  if (!RefusesAConversion(usb)) {
    ModelPlatform replay(recorder.RecordedModel());
    EXPECT_EQ(detect(replay), shown) << "replayed from its recording";
  }

  {
    ModelPlatform live(usb);
    RecordingPlatform recorder(live, usb.ansiCodePage);
    const auto read = RunDetection(recorder, usb.ansiCodePage, "live", &error, true);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(live.OpenDeviceSetCount(), 0u);
    DetectionReport joined = *read, replayed = *read;
    for (KeySighting& key : joined.keys) key.facts = {};
    for (KeySighting& key : replayed.keys) key.facts = {};
    cli::JoinKeyFacts(usb, joined);
    cli::JoinKeyFacts(recorder.RecordedModel(), replayed);
    for (std::size_t k = 0; k < read->keys.size(); ++k) {
      if (joined.keys[k].facts.windows) {
        EXPECT_EQ(read->keys[k].facts.windows, joined.keys[k].facts.windows) << "key " << k;
      }
      EXPECT_EQ(replayed.keys[k].facts.windows, read->keys[k].facts.windows) << "key " << k;
    }
  }

  const nlohmann::json actual = nlohmann::json::parse(shown);
  const nlohmann::json expected = nlohmann::json::parse(ReadData(c.golden));
  // NAME.golden.json -> NAME.actual.json
  std::string written = (fs::path(KELDAR_TEST_DATA_DIR) / c.golden).string();
  written.replace(written.size() - 12, 12, ".actual.json");
  if (actual == expected) {
    std::error_code ignored;
    fs::remove(written, ignored);
    return;
  }
  std::ofstream(written, std::ios::binary) << shown;
  std::string changes = nlohmann::json::diff(expected, actual).dump();
  if (changes.size() > 3000) changes.resize(3000);
  ADD_FAILURE() << "the report differs from " << c.golden << "; it was written to " << written
                << "\nchanges from the golden output: " << changes;
}

INSTANTIATE_TEST_SUITE_P(, Golden, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<GoldenCase>& info) {
                           std::string name = info.param.name;
                           std::replace_if(
                               name.begin(), name.end(),
                               [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); },
                               '_');
                           return name;
                         });

}  // namespace
}  // namespace keldar
