// One test case per topology file in tests/data/fixtures: `keldar --topology FILE --json` must
// print exactly the golden document beside it (FILE's name with .golden.json). On a mismatch the
// output is written beside the golden file as NAME.actual.json, one diff away.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/keldar_cli.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kGoldenSuffix = ".golden.json";
constexpr std::string_view kActualSuffix = ".actual.json";

fs::path FixtureDir() { return fs::path(KELDAR_TEST_DATA_DIR) / "fixtures"; }

bool EndsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The topology files: every .json that is neither a golden nor an actual output.
std::vector<std::string> FixtureNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(FixtureDir(), error)) {
    const std::string file = entry.path().filename().string();
    if (!EndsWith(file, ".json") || EndsWith(file, kGoldenSuffix) || EndsWith(file, kActualSuffix))
      continue;
    names.push_back(file.substr(0, file.size() - 5));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

class Fixture : public testing::TestWithParam<std::string> {};

TEST_P(Fixture, JsonOutputMatchesGolden) {
  const std::string name = GetParam();
  const fs::path topology = FixtureDir() / (name + ".json");
  const fs::path golden = FixtureDir() / (name + std::string(kGoldenSuffix));
  const fs::path actualPath = FixtureDir() / (name + std::string(kActualSuffix));
  ASSERT_TRUE(fs::exists(golden)) << "no golden output for " << topology.string();

  const std::string path = topology.string();
  const char* argv[] = {"keldar", "--topology", path.c_str(), "--json"};
  std::ostringstream out, err;
  ASSERT_EQ(keldar::cli::RunKeldar(4, argv, out, err), 0) << err.str();
  EXPECT_EQ(err.str(), "");

  nlohmann::ordered_json actual = nlohmann::ordered_json::parse(out.str());
  // The source names the file as it was given; the golden file names it without a directory.
  EXPECT_EQ(actual["source"], "topology:" + path);
  actual["source"] = "topology:" + name + ".json";

  const nlohmann::json expected = nlohmann::json::parse(ReadFile(golden));
  const nlohmann::json got = nlohmann::json::parse(actual.dump());
  if (got == expected) {
    std::error_code ignored;
    fs::remove(actualPath, ignored);
    return;
  }
  std::ofstream(actualPath, std::ios::binary) << actual.dump(2) << '\n';
  std::string patch = nlohmann::json::diff(expected, got).dump();
  if (patch.size() > 3000) patch.resize(3000);
  ADD_FAILURE() << "output differs from " << golden.string() << "; it was written to "
                << actualPath.string() << "\nchanges from the golden output: " << patch;
}

std::string TestName(const testing::TestParamInfo<std::string>& info) {
  std::string name = info.param;
  std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Topologies, Fixture, testing::ValuesIn(FixtureNames()), TestName);

}  // namespace
