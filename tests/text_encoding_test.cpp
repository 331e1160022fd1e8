#include <gtest/gtest.h>

#include <string_view>

// The notices are shown in the ANSI code page 936; the compiler must have turned the UTF-8
// source into GBK bytes.
TEST(TextEncoding, ChineseLiteralIsGbk) {
  constexpr std::string_view text = "中文加密狗";
  EXPECT_EQ(text, "\xD6\xD0\xCE\xC4\xBC\xD3\xC3\xDC\xB9\xB7");
}
