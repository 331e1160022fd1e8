// Where the console program's output goes: standard output and standard error, each taking the
// UTF-8 text the program writes. A file or a pipe gets those bytes. A Windows console window
// shows characters, not bytes, in a code page of its own (936 on a Chinese Windows): there the
// text is written as UTF-16 (WriteConsoleW), so it reads right whatever that code page is.
#pragma once

#include <ostream>

namespace keldar::cli {

std::ostream& StandardOutput();
std::ostream& StandardError();

}  // namespace keldar::cli
