#include <io.h>

#include "cli/files.h"

namespace keldar::cli {

bool SyncToDisk(std::FILE* file) { return _commit(_fileno(file)) == 0; }

std::FILE* OpenInPlace(const char* path) { return std::fopen(path, "wb"); }

}  // namespace keldar::cli
