// Where a terminal takes bytes: the UTF-8 text goes out as it is.
#include <iostream>

#include "cli/console.h"

namespace keldar::cli {

std::ostream& StandardOutput() { return std::cout; }
std::ostream& StandardError() { return std::cerr; }

}  // namespace keldar::cli
