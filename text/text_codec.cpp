#include "text/text_codec.h"

#include <cstdint>
#include <string>

#include "text/code_points.h"
#include "text/utf8.h"

namespace keldar {

namespace text_internal {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

}  // namespace

// Each byte that does not start a valid sequence stands for one undecodable character.
std::u32string DecodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Character c = DecodeUtf8Character(text.substr(i));
    out.push_back(c.valid ? c.code : kUndecodable);
    i += c.length;
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

}  // namespace text_internal

namespace {

using namespace text_internal;

constexpr unsigned kUtf8CodePage = 65001;
constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

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

bool IsKnownCodePage(unsigned codePage) {
  // The ones both Windows and glibc have tables for.
  constexpr unsigned kRanges[][2] = {
      {437, 437},     {737, 737},     {775, 775},     {850, 850},     {852, 852},
      {855, 855},     {857, 857},     {860, 866},     {869, 869},     {874, 874},
      {932, 932},     {936, 936},     {949, 950},     {1250, 1258},   {20127, 20127},
      {20866, 20866}, {21866, 21866}, {28591, 28599}, {28603, 28603}, {28605, 28605},
      {54936, 54936}, {kUtf8CodePage, kUtf8CodePage}};
  for (const auto& range : kRanges)
    if (codePage >= range[0] && codePage <= range[1]) return true;
  return SystemSupports(codePage);
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

std::u16string AnsiToUtf16(std::string_view ansi, unsigned codePage) {
  return EncodeUtf16(DecodeAnsi(ansi, codePage));
}

std::string Utf8ToAnsi(std::string_view utf8, unsigned codePage) {
  return EncodeAnsi(DecodeUtf8(utf8), codePage, nullptr);
}

std::string Utf16ToCodePage(std::u16string_view utf16, unsigned codePage, bool* replaced) {
  return EncodeAnsi(DecodeUtf16(utf16), codePage, replaced);
}

namespace {

// Every table leaves ASCII alone, and most texts are ASCII alone: they go through untouched.
std::u32string WithBestFits(std::u32string text, unsigned codePage) {
  for (char32_t& c : text)
    if (c >= 0x80) c = text_internal::BestFit(c, codePage);
  return text;
}

}  // namespace

std::string Utf16ToCodePageBestFit(std::u16string_view utf16, unsigned codePage, bool* replaced) {
  return EncodeAnsi(WithBestFits(DecodeUtf16(utf16), codePage), codePage, replaced);
}

std::string Utf8ToAnsiBestFit(std::string_view utf8, unsigned codePage) {
  return EncodeAnsi(WithBestFits(DecodeUtf8(utf8), codePage), codePage, nullptr);
}

std::string CleanUtf8(std::string_view text) {
  return EncodeUtf8(DecodeUtf8(text), kUtf8Replacement);
}

std::u16string Utf8ToUtf16(std::string_view utf8) { return EncodeUtf16(DecodeUtf8(utf8)); }

std::string Utf16ToUtf8(std::u16string_view utf16) {
  return EncodeUtf8(DecodeUtf16(utf16), kUtf8Replacement);
}

}  // namespace keldar
