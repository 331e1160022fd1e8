#include <unistd.h>

#include "cli/files.h"

namespace keldar::cli {

bool SyncToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }

}  // namespace keldar::cli
