#include "cli/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <system_error>
#include <utility>

#include "text/utf8.h"

namespace keldar::cli {

namespace {

namespace fs = std::filesystem;

struct Resolution {
  fs::path target;  // the file the name leads to once every link is followed
  fs::file_status status;
  bool inPlace;  // not a file to replace: a device, a pipe, or an open descriptor's file
};

// Where a name leads, whether that file exists or not. An existing file is the system's answer;
// a missing one is found link by link, bounded as the system bounds it (ELOOP after 40 links).
// A name that leads through /proc (/dev/stdout is /proc/self/fd/1) is a descriptor the program
// was given: replacing its file would leave the descriptor on the old one.
Resolution Resolve(const std::string& name) {
  std::error_code error;
  Resolution resolution{name, fs::status(name, error), false};
  fs::path path(name);
  for (int hop = 0; hop < 40 && fs::is_symlink(fs::symlink_status(path, error)); ++hop) {
    const fs::path target = fs::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
    if (path.lexically_normal().string().rfind("/proc/", 0) == 0) resolution.inPlace = true;
  }
  if (fs::exists(resolution.status)) {
    resolution.inPlace |= !fs::is_regular_file(resolution.status);
    const fs::path canonical = fs::canonical(name, error);
    if (!error) resolution.target = canonical;
  } else {
    resolution.target = path;
  }
  return resolution;
}

std::string Reason(int error, const char* otherwise) {
  return error != 0 ? std::strerror(error) : otherwise;
}

// Writes the whole text to `file` and closes it; the reason of a failure, or none.
std::optional<std::string> WriteAndClose(std::FILE* file, const std::string& text, bool sync) {
  errno = 0;
  // The data is on the disk, not only in the system's cache, before the file replaces another.
  bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                 std::fflush(file) == 0 && (!sync || SyncToDisk(file));
  int error = errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    error = errno;
  }
  if (written) return std::nullopt;
  return Reason(error, "the write failed");
}

}  // namespace

bool WriteReplacing(const std::string& path, const std::string& text,
                    const std::string& what, std::ostream& err) {
  const auto fail = [&](const std::string& reason) {
    err << "keldar: " << EscapeControls(path) << ": cannot write the " << what << ": " << reason << '\n';
    return false;
  };
  const Resolution resolution = Resolve(path);
  const fs::path& target = resolution.target;
  if (fs::is_directory(resolution.status)) return fail("it is a directory");
  if (resolution.inPlace) {
    errno = 0;
    std::FILE* file = OpenInPlace(path.c_str());
    if (file == nullptr) return fail(Reason(errno, "cannot open it"));
    const auto failure = WriteAndClose(file, text, false);
    return failure ? fail(*failure) : true;
  }
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "." + a temporary string
  // in 32-bit builds.
  std::random_device entropy;
  std::string name = ".";
  name += target.filename().string();
  name += ".keldar-";
  name += std::to_string(entropy() % 1000000);
  name += ".tmp";
  const fs::path temporary = target.parent_path() / name;
  errno = 0;
  std::FILE* file = std::fopen(temporary.string().c_str(), "wb");
  if (file == nullptr) return fail(Reason(errno, "cannot create it"));
  std::optional<std::string> failure = WriteAndClose(file, text, true);
  std::error_code error;
  if (!failure) {
    fs::rename(temporary, target, error);
    if (!error) return true;
    failure = error.message();
  }
  std::error_code ignored;
  fs::remove(temporary, ignored);
  return fail(*failure);
}

bool WouldReplace(const std::string& written, const std::string& other) {
  const Resolution a = Resolve(written), b = Resolve(other);
  if (a.inPlace) return false;
  std::error_code error;
  if (fs::exists(a.status) && fs::exists(b.status))
    return fs::equivalent(a.target, b.target, error);
  return fs::weakly_canonical(fs::absolute(a.target, error), error) ==
         fs::weakly_canonical(fs::absolute(b.target, error), error);
}

}  // namespace keldar::cli
