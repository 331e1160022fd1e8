// What the text room's files share: the code-point form every conversion passes through, and
// the one code-page backend the build picks (iconv on Linux, the system's tables on Windows).
// Not for use outside text/.
#pragma once

#include <string>
#include <string_view>

namespace keldar::text_internal {

// Stands in the code point sequence for input that could not be decoded; each encoder writes
// its own replacement for it (U+FFFD in Unicode, "?" in a code page).
inline constexpr char32_t kUndecodable = 0x110000;

std::u32string DecodeUtf16(std::u16string_view text);
std::u16string EncodeUtf16(const std::u32string& text);
// A code page nobody can convert still shows its ASCII part.
std::u32string DecodeAsciiOnly(std::string_view text);
std::string EncodeAsciiOnly(const std::u32string& text, bool* replaced);

// The backend: whether it converts `codePage`, and the conversions in both directions. Input
// it cannot decode becomes kUndecodable; characters it cannot encode become "?" and set
// *replaced.
bool SystemSupports(unsigned codePage);
std::u32string DecodeSystem(std::string_view text, unsigned codePage);
std::string EncodeSystem(const std::u32string& text, unsigned codePage, bool* replaced);
// Why the backend cannot convert `codePage`, naming what is missing; empty when it can.
std::string SystemMissing(unsigned codePage);

// The likeness that Microsoft's best-fit table for `codePage` gives `c`, or `c` itself when the
// table gives none (or none is held for the code page: only 1252's is).
char32_t BestFit(char32_t c, unsigned codePage);

}  // namespace keldar::text_internal
