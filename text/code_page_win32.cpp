// Code pages through the system's own tables, as the Windows build converts them.
#include <windows.h>

#include <string>

#include "text/code_points.h"

namespace keldar::text_internal {

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

namespace {

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

}  // namespace

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

}  // namespace keldar::text_internal
