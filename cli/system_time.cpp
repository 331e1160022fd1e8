// The wall clock. Built without the GBK execution character set (CMakeLists.txt): <chrono>
// holds a literal that GBK cannot encode, and this file has no text of its own.
#include <chrono>

#include "cli/watch.h"

namespace keldar::cli {

double SystemTime() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace keldar::cli
