// Where the program runs: the hypervisors named from SMBIOS names (tests/data/hypervisors.txt),
// and the environment read through the OS seam from a model and recorded for a replay.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "backends/model/model_platform.h"
#include "backends/recording/recording_platform.h"
#include "detect/environment.h"
#include "model/topology_file.h"
#include "support/test_data.h"

namespace keldar {
namespace {

std::string Field(std::istringstream& line) {
  std::string field;
  std::getline(line, field, '|');
  const auto first = field.find_first_not_of(' ');
  const auto last = field.find_last_not_of(' ');
  return first == std::string::npos ? "" : field.substr(first, last - first + 1);
}

TEST(Environment, HypervisorsAreNamedFromTheSmbiosNamesAndPhysicalMachinesAreNot) {
  std::istringstream rows(testing::ReadData("hypervisors.txt"));
  int checked = 0;
  for (std::string row; std::getline(rows, row);) {
    if (row.empty() || row[0] == '#') continue;
    std::istringstream line(row);
    const std::string manufacturer = Field(line), product = Field(line), expected = Field(line);
    EXPECT_EQ(HypervisorOf(manufacturer, product).value_or("-"), expected) << row;
    ++checked;
  }
  EXPECT_GE(checked, 19);
}

TEST(Environment, ReadThroughTheSeamInTheCodePageAndRecordedForAReplay) {
  model::UsbModel usb = ReadTopology(testing::ReadData("cli/remote-vm-no-key.json"), "remote.json");
  // A Chinese maker's name reaches the detection in GBK and the recording in UTF-8 again; a
  // product name longer than the detection's buffer is not read at all.
  usb.environment.systemManufacturer = reinterpret_cast<const char*>(u8"联想");
  usb.environment.systemProductName = std::string(kSmbiosTextBufferSize, 'x');
  ModelPlatform platform(usb);
  RecordingPlatform recorder(platform, usb.ansiCodePage);

  const EnvironmentFacts facts = ReadEnvironment(recorder);
  EXPECT_EQ(facts.remoteSession, true);
  EXPECT_EQ(facts.systemManufacturer, "\xC1\xAA\xCF\xEB");  // 联想 in GBK
  EXPECT_EQ(facts.systemProductName, std::nullopt);

  model::Environment expected = usb.environment;
  expected.systemProductName.reset();
  EXPECT_EQ(recorder.RecordedModel().environment, expected);

  // A model that recorded nothing answers as a local machine without the BIOS key.
  ModelPlatform bare{model::UsbModel()};
  EXPECT_EQ(ReadEnvironment(bare), (EnvironmentFacts{false, std::nullopt, std::nullopt}));
}

}  // namespace
}  // namespace keldar
