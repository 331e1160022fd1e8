// Code pages through iconv, named as glibc names them ("CP936", "ISO-8859-1", ...).
#include <cerrno>
#include <iconv.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "text/code_points.h"

namespace keldar::text_internal {

namespace {

std::string IconvName(unsigned codePage) {
  switch (codePage) {
    case 20127: return "ASCII";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 54936: return "GB18030";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    default: break;
  }
  if (codePage >= 28591 && codePage <= 28599) return "ISO-8859-" + std::to_string(codePage - 28590);
  return "CP" + std::to_string(codePage);
}

// iconv descriptors are costly to open and are kept for the life of the process, one per code
// page and direction. A descriptor carries conversion state, so each use holds the lock.
class IconvCache {
 public:
  ~IconvCache() {
    for (auto& entry : descriptors_)
      if (entry.second != kNone) iconv_close(entry.second);
  }

  template <typename Use>
  auto With(unsigned codePage, bool toCodePage, Use use) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto key = std::make_pair(codePage, toCodePage);
    auto found = descriptors_.find(key);
    if (found == descriptors_.end()) {
      const std::string name = IconvName(codePage);
      iconv_t cd = toCodePage ? iconv_open(name.c_str(), "UTF-32LE")
                              : iconv_open("UTF-32LE", name.c_str());
      found = descriptors_.emplace(key, cd).first;
    }
    return use(found->second);
  }

  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

 private:
  std::mutex mutex_;
  std::map<std::pair<unsigned, bool>, iconv_t> descriptors_;
};

IconvCache& Cache() {
  static IconvCache cache;
  return cache;
}

// Converts all of `in`; where iconv stops at input it cannot convert, `replacement` is written
// and `unit` bytes of input are skipped.
std::string RunIconv(iconv_t cd, const std::string& in, std::size_t unit,
                     std::string_view replacement, bool* replaced) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  char* inPtr = const_cast<char*>(in.data());
  std::size_t inLeft = in.size();
  char buffer[512];
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    if (result != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    out.append(replacement);
    if (replaced != nullptr) *replaced = true;
    const std::size_t skip = inLeft < unit ? inLeft : unit;
    inPtr += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  char* outPtr = buffer;
  std::size_t outLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
  return out;
}

}  // namespace

bool SystemSupports(unsigned codePage) {
  return Cache().With(codePage, false, [](iconv_t cd) { return cd != IconvCache::kNone; });
}

namespace {

bool CanOpen(const char* to, const std::string& from) {
  const iconv_t cd = iconv_open(to, from.c_str());
  if (cd == IconvCache::kNone) return false;
  iconv_close(cd);
  return true;
}

}  // namespace

// glibc keeps each of these in a module of its own; UCS-4 and UTF-8 are built in. UTF-32 is
// always there where glibc's converter files are: without it, they are missing as a whole.
std::string SystemMissing(unsigned codePage) {
  if (SystemSupports(codePage)) return {};
  const std::string name = IconvName(codePage);
  std::string missing;
  if (!CanOpen("UCS-4LE", name)) missing = name + (codePage == 936 ? " (GBK.so)" : "");
  if (CanOpen("UCS-4LE", "UTF-32LE")) {
    if (missing.empty()) return "iconv cannot convert between " + name + " and UTF-32LE";
    return "iconv finds no converter for " + missing;
  }
  return "iconv finds no converter for " + missing + (missing.empty() ? "" : " and ") +
         "UTF-32 (UTF-32.so); glibc's converter files (its gconv folder with "
         "gconv-modules.cache) are missing";
}

std::u32string DecodeSystem(std::string_view text, unsigned codePage) {
  return Cache().With(codePage, false, [&](iconv_t cd) {
    if (cd == IconvCache::kNone) return DecodeAsciiOnly(text);
    // U+FFFD in UTF-32LE would do as well, but the sentinel keeps one decoding path.
    static const char kUndecodableLe[4] = {0x00, 0x00, 0x11, 0x00};
    const std::string raw = RunIconv(cd, std::string(text), 1,
                                     std::string_view(kUndecodableLe, 4), nullptr);
    std::u32string out;
    out.reserve(raw.size() / 4);
    for (std::size_t i = 0; i + 4 <= raw.size(); i += 4) {
      const auto* b = reinterpret_cast<const unsigned char*>(raw.data() + i);
      out.push_back(char32_t(b[0]) | char32_t(b[1]) << 8 | char32_t(b[2]) << 16 |
                    char32_t(b[3]) << 24);
    }
    return out;
  });
}

std::string EncodeSystem(const std::u32string& text, unsigned codePage, bool* replaced) {
  return Cache().With(codePage, true, [&](iconv_t cd) {
    if (cd == IconvCache::kNone) return EncodeAsciiOnly(text, replaced);
    std::string raw;
    raw.reserve(text.size() * 4);
    for (char32_t c : text) {
      raw.push_back(static_cast<char>(c & 0xFF));
      raw.push_back(static_cast<char>((c >> 8) & 0xFF));
      raw.push_back(static_cast<char>((c >> 16) & 0xFF));
      raw.push_back(static_cast<char>((c >> 24) & 0xFF));
    }
    return RunIconv(cd, raw, 4, "?", replaced);
  });
}

}  // namespace keldar::text_internal
