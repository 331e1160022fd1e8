#include <fcntl.h>
#include <unistd.h>

#include "cli/files.h"

namespace keldar::cli {

bool SyncToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }

std::FILE* OpenInPlace(const char* path) {
  // A FIFO without a reader would hold the open for good, and a watch with it, past Ctrl-C
  // (the signals restart the call): without waiting it fails at once with ENXIO instead.
  const int fd = ::open(path, O_WRONLY | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Once open, the writes may wait as a file's do.
  const int flags = ::fcntl(fd, F_GETFL);
  std::FILE* file = flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0
                        ? nullptr
                        : ::fdopen(fd, "wb");
  if (file == nullptr) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return file;
}

}  // namespace keldar::cli
