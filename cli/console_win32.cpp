// Windows: a standard stream that is a console window (GetConsoleMode succeeds on it) is
// written through WriteConsoleW; a file or a pipe gets the UTF-8 bytes through the C library.
#include <windows.h>

#include <algorithm>
#include <iostream>
#include <streambuf>
#include <string>

#include "cli/console.h"
#include "text/text_codec.h"
#include "text/utf8.h"

namespace keldar::cli {

namespace {

// Collects UTF-8 and writes it to the console as UTF-16 when flushed, or when enough has
// gathered. A character whose bytes have not all come yet waits for the rest.
class ConsoleBuffer : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}
  ~ConsoleBuffer() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_.push_back(traits_type::to_char_type(c));
    return pending_.size() < kChunk || Write() ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<std::size_t>(count));
    return pending_.size() < kChunk || Write() ? count : 0;
  }

  int sync() override { return Write() ? 0 : -1; }

 private:
  static constexpr std::size_t kChunk = 8192;

  bool Write() {
    const std::size_t complete = CompleteUtf8(pending_);
    const std::u16string text = Utf8ToUtf16(std::string_view(pending_).substr(0, complete));
    pending_.erase(0, complete);
    // A console takes a bounded amount per call.
    for (std::size_t at = 0; at < text.size();) {
      const DWORD units = static_cast<DWORD>(std::min<std::size_t>(text.size() - at, kChunk));
      DWORD written = 0;
      if (!::WriteConsoleW(console_, text.data() + at, units, &written, nullptr) || written == 0)
        return false;
      at += written;
    }
    return true;
  }

  HANDLE console_;
  std::string pending_;
};

// One standard stream: written through the console when it is one. Lives to the end of the
// process, like std::cout, and what is pending is written when it goes.
struct Standard {
  explicit Standard(DWORD which) : handle(::GetStdHandle(which)), buffer(handle) {
    DWORD mode = 0;
    console =
        handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
    // Errors appear as they happen, as they do on std::cerr.
    if (which == STD_ERROR_HANDLE) stream.setf(std::ios::unitbuf);
  }
  HANDLE handle;
  bool console = false;
  ConsoleBuffer buffer;
  std::ostream stream{&buffer};
};

}  // namespace

std::ostream& StandardOutput() {
  static Standard output(STD_OUTPUT_HANDLE);
  return output.console ? output.stream : std::cout;
}

std::ostream& StandardError() {
  static Standard error(STD_ERROR_HANDLE);
  return error.console ? error.stream : std::cerr;
}

}  // namespace keldar::cli
