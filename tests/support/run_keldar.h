// The console program run in-process, as a user runs it: its exit status and what it printed.
#pragma once

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/keldar_cli.h"

namespace keldar::testing {

struct Outcome {
  int status;
  std::string out, err;
};

// `output`, when given, stands for standard output (one that refuses to be written, say).
inline Outcome RunKeldar(const std::vector<std::string>& args,
                         const cli::Machine& machine = cli::ThisMachine(),
                         std::ostream* output = nullptr) {
  std::vector<const char*> argv{"keldar"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  std::ostringstream out, err;
  const int status = cli::RunKeldar(static_cast<int>(argv.size()), argv.data(),
                                    output != nullptr ? *output : out, err, machine);
  return {status, out.str(), err.str()};
}

}  // namespace keldar::testing
