// --export writes the topology a detection used; replaying that file with --topology shows
// exactly what the detection showed. An export that cannot be written is an error of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/keldar_cli.h"
#include "tests/scratch_path.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Keldar(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"keldar"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  const int status = keldar::cli::RunKeldar(static_cast<int>(argv.size()), argv.data(), out, err);
  return {status, out.str(), err.str()};
}

// The JSON report without its "source" line, which names where the topology came from.
std::string WithoutSource(const std::string& json, const std::string& source) {
  const std::string line = "  \"source\": " + nlohmann::json(source).dump() + ",\n";
  const std::size_t at = json.find(line);
  if (at == std::string::npos) return "(no source line " + line + ") " + json;
  return json.substr(0, at) + json.substr(at + line.size());
}

class ExportFile {
 public:
  explicit ExportFile(const std::string& name)
      : path_(keldar::testing::ScratchPath(name)) {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  ~ExportFile() {
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  std::string Path() const { return path_.string(); }

 private:
  fs::path path_;
};

// Exports while detecting with `args`, then replays the export; both JSON reports must agree.
void ExpectReplayShowsTheSame(const std::vector<std::string>& args, const std::string& source) {
  const ExportFile exported("replay.json");
  std::vector<std::string> detect = args;
  for (const char* extra : {"--json", "--export"}) detect.push_back(extra);
  detect.push_back(exported.Path());
  const Outcome first = Keldar(detect);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "");
  ASSERT_TRUE(fs::exists(exported.Path()));

  const Outcome replay = Keldar({"--topology", exported.Path(), "--json"});
  ASSERT_EQ(replay.status, 0) << replay.err;
  EXPECT_EQ(WithoutSource(replay.out, "topology:" + exported.Path()),
            WithoutSource(first.out, source));
}

TEST(ExportRoundTrip, EveryFixtureReplaysToTheSameReport) {
  const fs::path fixtures = fs::path(KELDAR_TEST_DATA_DIR) / "fixtures";
  int replayed = 0;
  for (const auto& entry : fs::directory_iterator(fixtures)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json" || name.ends_with(".golden.json")) continue;
    SCOPED_TRACE(name);
    const std::string path = entry.path().string();
    ExpectReplayShowsTheSame({"--topology", path}, "topology:" + path);
    ++replayed;
  }
  EXPECT_GE(replayed, 9);
}

TEST(ExportRoundTrip, DemoReplaysToTheSameReport) { ExpectReplayShowsTheSame({"--demo"}, "demo"); }

TEST(ExportRoundTrip, UnwritableExportPrintsOnlyItsErrorAndExitsWithOne) {
  const fs::path nowhere = fs::temp_directory_path() / "keldar-export-test-no-such-dir" / "x.json";
  const fs::path directory = fs::temp_directory_path();
  for (const fs::path& target : {nowhere, directory}) {
    SCOPED_TRACE(target.string());
    const Outcome run = Keldar({"--demo", "--export", target.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("keldar: " + target.string() + ": cannot write the topology file: ", 0),
              0u)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_FALSE(fs::exists(nowhere.parent_path()));
}

TEST(ExportRoundTrip, FailedDetectionWritesNoExport) {
  const ExportFile nameless("nameless.json");
  std::ofstream(nameless.Path(), std::ios::binary)
      << R"({"format": "keldar-topology", "version": 1, "controllers": []})";
  const ExportFile exported("not-written.json");
  const Outcome run = Keldar({"--topology", nameless.Path(), "--export", exported.Path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "keldar: the computer name is not available (error 2)\n");
  EXPECT_FALSE(fs::exists(exported.Path()));
}

}  // namespace
