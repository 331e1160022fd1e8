#include "platform/model/text_codec.h"

#include <cstdint>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>

#include <map>
#include <mutex>
#include <utility>
#endif

namespace keldar {

namespace {

constexpr unsigned kUtf8CodePage = 65001;
// Stands in the code point sequence for input that could not be decoded; each encoder writes
// its own replacement for it (U+FFFD in Unicode, "?" in a code page).
constexpr char32_t kUndecodable = 0x110000;
constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Strict UTF-8: overlong forms, encoded surrogates and values above U+10FFFF are invalid, and
// each byte that does not start a valid sequence stands for one undecodable character.
std::u32string DecodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b0 = bytes[i];
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    char32_t value = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      value = b0 & 0x0F;
      if (b0 == 0xE0) low = 0xA0;
      if (b0 == 0xED) high = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      value = b0 & 0x07;
      if (b0 == 0xF0) low = 0x90;
      if (b0 == 0xF4) high = 0x8F;
    }
    bool valid = length != 0 && i + length <= n && bytes[i + 1] >= low && bytes[i + 1] <= high;
    for (std::size_t k = 1; valid && k < length; ++k) {
      if (!IsContinuation(bytes[i + k])) valid = false;
      value = (value << 6) | (bytes[i + k] & 0x3F);
    }
    if (valid) {
      out.push_back(value);
      i += length;
    } else {
      out.push_back(kUndecodable);
      ++i;
    }
  }
  return out;
}

std::u32string DecodeUtf16(std::u16string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      out.push_back(0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      out.push_back(kUndecodable);
    } else {
      out.push_back(unit);
    }
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// `undecodable` is what stands for input that could not be decoded: U+FFFD where the text stays
// Unicode, "?" where UTF-8 serves as an ANSI code page.
std::string EncodeUtf8(const std::u32string& text, std::string_view undecodable,
                       bool* replaced = nullptr) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c == kUndecodable) {
      out.append(undecodable);
      if (replaced != nullptr) *replaced = true;
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

std::u16string EncodeUtf16(const std::u32string& text) {
  std::u16string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c == kUndecodable) c = kReplacementCharacter;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

// A code page nobody can convert still shows its ASCII part.
std::u32string DecodeAsciiOnly(std::string_view text) {
  std::u32string out;
  for (unsigned char byte : text) out.push_back(byte < 0x80 ? char32_t(byte) : kUndecodable);
  return out;
}

std::string EncodeAsciiOnly(const std::u32string& text, bool* replaced) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('?');
      if (replaced != nullptr) *replaced = true;
    }
  }
  return out;
}

#ifdef _WIN32

bool SystemSupports(unsigned codePage) { return IsValidCodePage(codePage) != 0; }

std::string SystemMissing(unsigned codePage) {
  if (SystemSupports(codePage)) return {};
  return "Windows has no conversion table for code page " + std::to_string(codePage);
}

std::u32string DecodeSystem(std::string_view text, unsigned codePage) {
  if (text.empty()) return {};
  const int n = static_cast<int>(text.size());
  int units = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), n, nullptr, 0);
  if (units > 0) {
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), n, wide.data(), units);
    return DecodeUtf16(std::u16string(wide.begin(), wide.end()));
  }
  // Somewhere a byte does not start a valid character: go character by character so that
  // only the bad bytes are replaced.
  std::u32string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    const int length =
        (IsDBCSLeadByteEx(codePage, bytes[i]) && i + 1 < text.size()) ? 2 : 1;
    wchar_t wide[4];
    const int got = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data() + i, length,
                                        wide, 4);
    if (got > 0) {
      const std::u32string decoded = DecodeUtf16(std::u16string(wide, wide + got));
      out += decoded;
      i += static_cast<std::size_t>(length);
    } else {
      out.push_back(kUndecodable);
      ++i;
    }
  }
  return out;
}

std::string ConvertRun(const std::wstring& run, unsigned codePage, bool* replaced) {
  if (run.empty()) return {};
  const int n = static_cast<int>(run.size());
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  const char* defaultChar = "?";
  BOOL usedDefault = FALSE;
  int size = WideCharToMultiByte(codePage, flags, run.data(), n, nullptr, 0, defaultChar,
                                 &usedDefault);
  if (size <= 0) {
    // A few code pages refuse the flag and the default character.
    flags = 0;
    defaultChar = nullptr;
    size = WideCharToMultiByte(codePage, 0, run.data(), n, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return std::string(run.size(), '?');
  }
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(codePage, flags, run.data(), n, out.data(), size, defaultChar,
                      flags != 0 ? &usedDefault : nullptr);
  if (usedDefault && replaced != nullptr) *replaced = true;
  return out;
}

std::string EncodeSystem(const std::u32string& text, unsigned codePage, bool* replaced) {
  std::string out;
  std::wstring run;
  for (char32_t c : text) {
    if (c == kUndecodable) {
      out += ConvertRun(run, codePage, replaced);
      run.clear();
      out.push_back('?');
      if (replaced != nullptr) *replaced = true;
      continue;
    }
    const std::u16string units = EncodeUtf16(std::u32string(1, c));
    run.append(units.begin(), units.end());
  }
  out += ConvertRun(run, codePage, replaced);
  return out;
}

#else

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

bool SystemSupports(unsigned codePage) {
  return Cache().With(codePage, false, [](iconv_t cd) { return cd != IconvCache::kNone; });
}

bool CanOpen(const char* to, const std::string& from) {
  const iconv_t cd = iconv_open(to, from.c_str());
  if (cd == IconvCache::kNone) return false;
  iconv_close(cd);
  return true;
}

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

#endif

std::u32string DecodeAnsi(std::string_view text, unsigned codePage) {
  if (codePage == kUtf8CodePage) return DecodeUtf8(text);
  if (!SystemSupports(codePage)) return DecodeAsciiOnly(text);
  return DecodeSystem(text, codePage);
}

std::string EncodeAnsi(const std::u32string& text, unsigned codePage, bool* replaced) {
  bool replacedHere = false;
  std::string out;
  if (codePage == kUtf8CodePage)
    out = EncodeUtf8(text, "?", &replacedHere);
  else if (!SystemSupports(codePage))
    out = EncodeAsciiOnly(text, &replacedHere);
  else
    out = EncodeSystem(text, codePage, &replacedHere);
  if (replaced != nullptr) *replaced = replacedHere;
  return out;
}

}  // namespace

bool IsSupportedCodePage(unsigned codePage) {
  return codePage == kUtf8CodePage || SystemSupports(codePage);
}

std::string MissingConverter(unsigned codePage) {
  if (codePage == kUtf8CodePage) return {};
  const std::string missing = SystemMissing(codePage);
  if (missing.empty()) return {};
  return "code page " + std::to_string(codePage) + " cannot be converted: " + missing;
}

std::string AnsiToUtf8(std::string_view ansi, unsigned codePage) {
  return EncodeUtf8(DecodeAnsi(ansi, codePage), kUtf8Replacement);
}

std::string Utf8ToAnsi(std::string_view utf8, unsigned codePage) {
  return EncodeAnsi(DecodeUtf8(utf8), codePage, nullptr);
}

std::string Utf16ToCodePage(std::u16string_view utf16, unsigned codePage, bool* replaced) {
  return EncodeAnsi(DecodeUtf16(utf16), codePage, replaced);
}

std::u16string Utf8ToUtf16(std::string_view utf8) { return EncodeUtf16(DecodeUtf8(utf8)); }

std::string Utf16ToUtf8(std::u16string_view utf16) {
  return EncodeUtf8(DecodeUtf16(utf16), kUtf8Replacement);
}

}  // namespace keldar
