#include "text/utf8.h"

#include <cstdio>

namespace keldar {

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

bool IsWide(char32_t code) {
  return (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
         (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
         (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
         (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD);
}

}  // namespace

Utf8Character DecodeUtf8Character(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  const unsigned char b0 = bytes[0];
  if (b0 < 0x80) return {b0, 1, true, false};
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
  const Utf8Character invalid{b0, 1, false, false};
  if (length == 0) return invalid;
  for (std::size_t k = 1; k < length; ++k) {
    if (k >= n) return {b0, 1, false, true};
    if (k == 1 ? bytes[1] < low || bytes[1] > high : !IsContinuation(bytes[k])) return invalid;
    value = (value << 6) | (bytes[k] & 0x3F);
  }
  return {value, length, true, false};
}

std::size_t CompleteUtf8(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const std::size_t start = text.size() - back;
    if (IsContinuation(static_cast<unsigned char>(text[start]))) continue;
    return DecodeUtf8Character(text.substr(start)).incomplete ? start : text.size();
  }
  return text.size();
}

std::size_t DisplayWidth(std::string_view utf8) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const Utf8Character c = DecodeUtf8Character(utf8.substr(i));
    width += c.valid && IsWide(c.code) ? 2 : 1;
    i += c.length;
  }
  return width;
}

std::string EscapeControls(std::string_view utf8) {
  std::string shown;
  shown.reserve(utf8.size());
  char escape[8];
  for (std::size_t i = 0; i < utf8.size();) {
    const Utf8Character c = DecodeUtf8Character(utf8.substr(i));
    const bool c0 = c.valid && ((c.code < 0x20 && c.code != '\t') || c.code == 0x7F);
    const bool c1 = c.valid && c.code >= 0x80 && c.code <= 0x9F;
    if (c0 || c1) {
      std::snprintf(escape, sizeof escape, c0 ? "\\x%02x" : "\\u%04x",
                    static_cast<unsigned>(c.code));
      shown += escape;
    } else {
      shown += utf8.substr(i, c.length);
    }
    i += c.length;
  }
  return shown;
}

}  // namespace keldar
