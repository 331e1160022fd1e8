// The console front end `keldar`: one detection on this machine's USB, on the bundled demo
// topology or on a topology file, printed as text or as one JSON document. Notices are
// printed, never waited on.
#pragma once

#include <ostream>
#include <string_view>

namespace keldar::cli {

// Exit statuses: 0 after a detection (and for --help and --version), 2 for a usage error or a
// topology file that cannot be read or is malformed, 1 for anything else.
inline constexpr int kExitDetected = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs the program as `keldar` with these arguments (argv[0] is the program's name).
// Everything it prints goes to `out` (the result) and `err` (errors, one line each).
int RunKeldar(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The demo topology built into the program (UTF-8 JSON; the same bytes as samples/demo.json).
std::string_view DemoTopology();

}  // namespace keldar::cli
