#include "cli/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <system_error>

namespace keldar::cli {

namespace {

namespace fs = std::filesystem;

// The file a path leads to once every link on its last component is followed, whether that
// file exists or not. Bounded as the system bounds it (ELOOP after 40 links).
fs::path LinkTarget(fs::path path) {
  std::error_code error;
  for (int hop = 0; hop < 40 && fs::is_symlink(fs::symlink_status(path, error)); ++hop) {
    const fs::path target = fs::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
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

bool ReplaceFile(const std::string& path, const std::string& text, const std::string& what,
                 std::ostream& err) {
  const auto fail = [&](const std::string& reason) {
    err << "keldar: " << path << ": cannot write the " << what << ": " << reason << '\n';
    return false;
  };
  const fs::path target = LinkTarget(path);
  std::error_code error;
  const fs::file_status status = fs::status(target, error);
  if (fs::is_directory(status)) return fail("it is a directory");
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    errno = 0;
    std::FILE* file = std::fopen(target.string().c_str(), "wb");
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
  const fs::path a = LinkTarget(written), b = LinkTarget(other);
  std::error_code error;
  const fs::file_status status = fs::status(a, error);
  if (fs::exists(status) && !fs::is_regular_file(status)) return false;
  if (fs::exists(status) && fs::exists(b, error)) return fs::equivalent(a, b, error);
  return fs::weakly_canonical(fs::absolute(a, error), error) ==
         fs::weakly_canonical(fs::absolute(b, error), error);
}

}  // namespace keldar::cli
