// Hostile topology files, as a hostile user hands them over: they must neither hang nor blow
// up, nor be read into a silently wrong answer. The large inputs are generated here; the small
// ones are files under tests/data/hostile, each beside the exact error line it must give.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/topology_file.h"
#include "support/test_data.h"

namespace keldar {
namespace {

namespace fs = std::filesystem;
using keldar::testing::ReadFile;
using nlohmann::json;

fs::path HostileDir() { return fs::path(KELDAR_TEST_DATA_DIR) / "hostile"; }

json Topology(json controllers) {
  return {{"format", "keldar-topology"}, {"version", 1}, {"computerName", "PC"},
          {"controllers", std::move(controllers)}};
}

json HubDevice(const std::string& name, int ports) {
  return {{"descriptor", {{"bDeviceClass", 9}, {"idVendor", 1}, {"idProduct", 2}}},
          {"hub", {{"name", name}, {"hubDescriptor", {{"bNumberOfPorts", ports}}}}}};
}

// Generated files: texts at and beyond what the platform could ever hand over, and a hub
// listing a million ports. Each refused one gives the line kept in generated.errors under its
// name; each accepted one reads.
json WithComputerName(std::string name) {
  json file = Topology(json::array());
  file["computerName"] = std::move(name);
  return file;
}

json WithRootHubName(std::string name) {
  return Topology(json::array({{{"rootHub", {{"name", std::move(name)}, {"hubDescriptor", {{"bNumberOfPorts", 1}}}}}}}));
}

json WithDevice(json device) {
  return Topology(json::array({{{"rootHub", {{"name", "R"}, {"hubDescriptor", {{"bNumberOfPorts", 1}}},
                                              {"ports", json::array({{{"port", 1}, {"device", std::move(device)}}})}}}}}));
}

json WithFriendlyName(std::string name) {
  return WithDevice({{"descriptor", {{"idVendor", 1}, {"idProduct", 2}}}, {"friendlyName", std::move(name)}});
}

json WithExternalHubName(std::string name) { return WithDevice(HubDevice(std::move(name), 1)); }

// A hub of 255 ports listing a million of them: refused at the first port it does not have,
// after a read that stays linear (the test's time limit guards it).
std::string MillionPorts() {
  std::string text = R"({"format": "keldar-topology", "version": 1, "controllers": [{"rootHub": )"
                     R"({"name": "R", "hubDescriptor": {"bNumberOfPorts": 255}, "ports": [)";
  for (int n = 1; n <= 1000000; ++n) text += (n > 1 ? ",{\"port\":" : "{\"port\":") + std::to_string(n) + "}";
  return text + "]}}]}";
}

struct Generated {
  std::string name;
  std::string text;
};

std::vector<Generated> RefusedGenerated() {
  return {{"computer-name-1024", WithComputerName(std::string(1024, 'n')).dump()},
          // 512 times U+673A: 1,536 bytes in UTF-8, 1,024 in GBK.
          {"computer-name-512-chinese", WithComputerName([] { std::string name; for (int i = 0; i < 512; ++i) name += "\xE6\x9C\xBA"; return name; }()).dump()},
          {"root-hub-name-32766", WithRootHubName(std::string(32766, 'r')).dump()},
          {"hub-name-32768", WithExternalHubName(std::string(32768, 'h')).dump()},
          {"friendly-name-65536", WithFriendlyName(std::string(65536, 'f')).dump()},
          {"million-ports", MillionPorts()}};
}

std::map<std::string, std::string> ExpectedErrors() {
  std::map<std::string, std::string> expected;
  std::istringstream lines(ReadFile(HostileDir() / "generated.errors"));
  for (std::string line; std::getline(lines, line);)
    if (const auto tab = line.find('\t'); tab != std::string::npos)
      expected[line.substr(0, tab)] = line.substr(tab + 1);
  return expected;
}

TEST(HostileReader, RefusesWhatThePlatformCouldNeverAnswer) {
  const auto expected = ExpectedErrors();
  for (const Generated& file : RefusedGenerated()) {
    ASSERT_EQ(expected.count(file.name), 1u) << file.name;
    try {
      ReadTopology(file.text, file.name + ".json");
      ADD_FAILURE() << file.name << " was accepted";
    } catch (const TopologyError& refused) {
      EXPECT_EQ(refused.what(), expected.at(file.name));
    }
  }
}

TEST(HostileReader, AcceptsTextsUpToThePlatformsLimits) {
  for (const json& file :
       {WithComputerName(std::string(1023, 'n')), WithRootHubName(std::string(32765, 'r')),
        WithExternalHubName(std::string(32763, 'h')), WithFriendlyName(std::string(65535, 'f'))})
    EXPECT_NO_THROW(ReadTopology(file.dump(), "limit.json"));
}

// Files the reader refuses, each beside the one error line it gives (NAME.error).
class RefusedFile : public ::testing::TestWithParam<std::string> {};

TEST_P(RefusedFile, GivesItsErrorLine) {
  const std::string name = GetParam();
  const fs::path dir = HostileDir() / "refused";
  std::string expected = ReadFile(dir / (name + ".error"));
  while (!expected.empty() && expected.back() == '\n') expected.pop_back();
  try {
    ReadTopology(ReadFile(dir / name), name);
    ADD_FAILURE() << name << " was accepted";
  } catch (const TopologyError& refused) {
    EXPECT_EQ(refused.what(), expected);
  }
}

std::vector<std::string> RefusedFiles() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(HostileDir() / "refused"))
    if (entry.path().extension() != ".error") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Hostile, RefusedFile, ::testing::ValuesIn(RefusedFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           std::replace_if(name.begin(), name.end(),
                                           [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                           return name;
                         });

}  // namespace
}  // namespace keldar
