// An owned, 0-terminated 8-bit text in the ANSI code page, or none. Every name the device
// access layer hands out is one of these; "none" is the null result of a failed query.
#pragma once

#include <cstring>
#include <memory>
#include <string_view>

namespace keldar {

class AnsiText {
 public:
  AnsiText() = default;
  // A new text holding `size` bytes of `bytes` followed by a terminator.
  static AnsiText Copy(const char* bytes, std::size_t size) {
    AnsiText text;
    text.bytes_ = std::make_unique<char[]>(size + 1);
    if (size != 0) std::memcpy(text.bytes_.get(), bytes, size);
    text.bytes_[size] = '\0';
    return text;
  }
  static AnsiText Copy(std::string_view s) { return Copy(s.data(), s.size()); }
  // Takes over a zero-filled buffer the caller has written a terminated text into.
  static AnsiText Adopt(std::unique_ptr<char[]> bytes) {
    AnsiText text;
    text.bytes_ = std::move(bytes);
    return text;
  }

  explicit operator bool() const { return bytes_ != nullptr; }
  const char* get() const { return bytes_.get(); }
  // The text, or "" when there is none.
  std::string_view view() const { return bytes_ ? std::string_view(bytes_.get()) : std::string_view(); }

 private:
  std::unique_ptr<char[]> bytes_;
};

}  // namespace keldar
