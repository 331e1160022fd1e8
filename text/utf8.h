// UTF-8 read one character at a time, and what a terminal makes of it. The codec, the console's
// columns and cells, its control escaping and the Windows console all read UTF-8 through here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace keldar {

// One character at the start of a UTF-8 text.
struct Utf8Character {
  char32_t code = 0;
  // Bytes it takes: 1 for an invalid byte (which stands for itself).
  std::size_t length = 0;
  // Strict UTF-8: overlong forms, encoded surrogates and values above U+10FFFF are invalid.
  bool valid = false;
  // A valid start of a character whose remaining bytes lie past the end of the text.
  bool incomplete = false;
};

// The character `text` starts with; `text` is not empty.
Utf8Character DecodeUtf8Character(std::string_view text);

// Where `text` stops holding whole characters: the start of its last character when that one's
// bytes are not all there yet, its size otherwise.
std::size_t CompleteUtf8(std::string_view text);

// Terminal columns a UTF-8 text takes: East Asian wide characters take two, any other
// character (or invalid byte) one.
std::size_t DisplayWidth(std::string_view utf8);

// A text as it may reach a terminal: a control character (ESC, CR, BS, DEL, a line break, ...)
// would move the cursor or rewrite what is shown, so it is escaped: "\x1b" for C0 controls and
// DEL, "\u009b" for the C1 controls. A tab stays: it only moves to the next stop. Invalid bytes
// pass as they are.
std::string EscapeControls(std::string_view utf8);

}  // namespace keldar
