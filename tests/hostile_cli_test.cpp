// The console under a hostile user: output that cannot be written, an export that fails half
// way over the file it replays, texts that would drive the terminal, one text long enough to
// pad every row, and files whose errors must say what is wrong and where.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/keldar_cli.h"
#include "support/scratch_path.h"
#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Keldar(const std::vector<std::string>& args, std::ostream* output = nullptr) {
  std::vector<const char*> argv{"keldar"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  const int status = keldar::cli::RunKeldar(static_cast<int>(argv.size()), argv.data(),
                                            output != nullptr ? *output : out, err);
  return {status, out.str(), err.str()};
}

fs::path Hostile(const std::string& name) { return fs::path(KELDAR_TEST_DATA_DIR) / "hostile" / name; }

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A standard output that takes nothing: closed, or a full disk.
class RefusingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(HostileCli, ReportThatCannotBeWrittenFailsWithOneLine) {
  for (const char* form : {"--json", "--details"}) {
    RefusingBuffer refusing;
    std::ostream out(&refusing);
    const Outcome run = Keldar({"--demo", form}, &out);
    EXPECT_EQ(run.status, 1) << form;
    EXPECT_EQ(run.err.rfind("keldar: cannot write the report", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

#ifndef _WIN32
// --topology X --export X, with a write that fails half way (a file size limit): X is as it
// was, and nothing else is left in its folder.
TEST(HostileCli, FailedExportLeavesTheFileItReplaced) {
  const fs::path folder = keldar::testing::ScratchPath("export-folder");
  fs::create_directories(folder);
  const std::string target = (folder / "desk.json").string();
  ASSERT_EQ(Keldar({"--demo", "--export", target}).status, 0);
  const std::string before = ReadFile(target);
  ASSERT_GT(before.size(), 4096u);

  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const Outcome run = Keldar({"--topology", target, "--export", target});
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, savedSignal);

  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "keldar: " + target + ": cannot write the topology file: File too large\n");
  EXPECT_EQ(ReadFile(target), before);
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"desk.json"});
  fs::remove_all(folder);
}

// A device file has no end; reading stops at the limit and says which file and which limit.
TEST(HostileCli, EndlessFileIsRefusedAtTheLimit) {
  const Outcome run = Keldar({"--topology", "/dev/zero"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.err, "keldar: /dev/zero: cannot read the topology file: it is longer than the "
                     "limit of 67108864 bytes (64 MiB); a machine with 50,000 USB devices takes "
                     "about 13 MB\n");
}
#endif

// ESC, CR, BS and C1 controls from a file are shown escaped; a text longer than a column is
// cut with a mark instead of widening every row.
TEST(HostileCli, TextOutputEscapesControlsAndCutsLongCells) {
  const std::string path = Hostile("terminal-control.json").string();
  const Outcome run = Keldar({"--topology", path});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Source: topology:" + path + "\n" + ReadFile(Hostile("terminal-control.txt")));
}

// "--demo=false" asks for no demo: it does not stand in the way of another source.
TEST(HostileCli, DemoFalseExcludesNothing) {
  const std::string path = Hostile("terminal-control.json").string();
  const Outcome run = Keldar({"--demo=false", "--topology", path, "--json"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(json::parse(run.out)["source"], "topology:" + path);
  const Outcome both = Keldar({"--topology", path, "--demo=true"});
  EXPECT_EQ(both.status, 2);
  EXPECT_EQ(both.err, "keldar: --topology excludes --demo (keldar --help lists the options)\n");
}

}  // namespace
