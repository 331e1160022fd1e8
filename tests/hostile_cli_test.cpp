// The console under a hostile user: output that cannot be written, an export that fails half
// way over the file it replays, and files reached through links. (Texts that would drive the
// terminal, and files that are not regular, are cases of tests/data/cli/cases.txt.)
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <utility>
#include <streambuf>
#include <string>
#include <vector>

#include "support/run_keldar.h"
#include "support/scratch_path.h"
#include "support/test_data.h"
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#endif

namespace {

namespace fs = std::filesystem;
using keldar::testing::Outcome;
using keldar::testing::ReadFile;
using keldar::testing::RunKeldar;

// A standard output that takes nothing: closed, or a full disk.
class RefusingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

class DiscardingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// Whatever goes to standard output: the report, the help, the version, the watch's lines.
TEST(HostileCli, OutputThatCannotBeWrittenFailsWithOneLine) {
  keldar::cli::Machine machine = keldar::cli::ThisMachine();
  machine.watchClock = [](bool) {  // a watch that ends after three waits
    return keldar::cli::WatchClock{[] { return 0.0; },
                                   [waits = 0](double) mutable { return ++waits <= 3; }};
  };
  for (const auto& [args, what] :
       {std::pair<std::vector<std::string>, std::string>{{"--demo", "--json"}, "report"},
        {{"--demo", "--details"}, "report"},
        {{"--help"}, "help"},
        {{"--version"}, "version"},
        {{"--demo", "--watch"}, "watch lines"}}) {
    RefusingBuffer refusing;
    std::ostream out(&refusing);
    const Outcome run = RunKeldar(args, machine, &out);
    EXPECT_EQ(run.status, 1) << args[1 % args.size()];
    EXPECT_EQ(run.err.rfind("keldar: cannot write the " + what, 0), 0u) << run.err;
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
  ASSERT_EQ(RunKeldar({"--demo", "--export", target}).status, 0);
  const std::string before = ReadFile(target);
  ASSERT_GT(before.size(), 4096u);

  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ::setrlimit(RLIMIT_FSIZE, &small);
  const Outcome run = RunKeldar({"--topology", target, "--export", target});
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

// A FIFO named as the metrics file is written in place; one without a reader is a write that
// fails at once, not an open that waits for good (and past Ctrl-C, which restarts the call).
TEST(HostileCli, MetricsFifoWithoutReaderFailsAtOnce) {
  const fs::path fifo = keldar::testing::ScratchPath("metrics.fifo");
  fs::remove(fifo);
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(20);  // a child that waits on the FIFO ends by SIGALRM
    const Outcome run = RunKeldar({"--demo", "--prometheus", fifo.string()});
    ::_exit(run.status == 1 && run.err.find("cannot write the metrics file") != std::string::npos
                ? 0
                : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  fs::remove(fifo);
}

// --export and --prometheus keep a symbolic link as it is and replace the file it leads to,
// whether that file exists yet or not.
TEST(HostileCli, LinksStayAndTheFileTheyLeadToIsReplaced) {
  const fs::path folder = keldar::testing::ScratchPath("link-folder");
  fs::create_directories(folder / "real");
  for (const std::string option : {"--export", "--prometheus"}) {
    for (const bool exists : {false, true}) {
      const fs::path link = folder / "link", real = folder / "real" / "file";
      if (exists) std::ofstream(real) << "old";
      fs::create_symlink("real/file", link);
      const Outcome run = RunKeldar({"--demo", option, link.string()});
      EXPECT_EQ(run.status, 0) << option << ": " << run.err;
      EXPECT_TRUE(fs::is_symlink(link)) << option;
      EXPECT_EQ(ReadFile(real).substr(0, 1), option == "--export" ? "{" : "#") << option;
      fs::remove(link);
      fs::remove(real);
    }
  }
  fs::remove_all(folder);
}

// A topology file that takes more memory than there is: one line naming the file and status
// 1, not an abort (the JSON library's destructor allocates). Run in a child whose address
// space is capped a little above what it already uses.
TEST(HostileCli, TopologyBeyondMemoryFailsWithOneLine) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reports an allocation failure instead of throwing";
#endif
  const fs::path path = keldar::testing::ScratchPath("beyond-memory.json");
  // Four bytes of file for each object of the document.
  std::string objects;
  for (int i = 0; i < 1000000; ++i) objects += "{},\n";
  std::ofstream(path, std::ios::binary)
      << R"({"format": "keldar-topology", "version": 1, "controllers": [], "otherDevices": [)"
      << objects << "{}]}";
  objects = {};
  const fs::path errors = keldar::testing::ScratchPath("beyond-memory.err");
  // Caps that run out while the file is read, and while its document is built.
  for (const rlim_t margin : {1 << 20, 16 << 20, 32 << 20}) {
    const pid_t child = ::fork();
    if (child == 0) {
      long pages = 0;
      std::ifstream("/proc/self/statm") >> pages;
      const rlim_t cap = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + margin;
      const rlimit limit{cap, cap};
      ::setrlimit(RLIMIT_AS, &limit);
      DiscardingBuffer discarding;  // standard output: a pipe, which takes no memory here
      std::ostream discarded(&discarding);
      const Outcome run = RunKeldar({"--topology", path.string(), "--json"},
                                    keldar::cli::ThisMachine(), &discarded);
      std::ofstream(errors, std::ios::binary) << run.err;
      ::_exit(run.status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << " at " << margin;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(ReadFile(errors),
              "keldar: " + path.string() + ": not enough memory to detect on it\n");
  }
  fs::remove(path);
  fs::remove(errors);
}

#endif

}  // namespace
