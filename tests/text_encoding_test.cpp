// The program's own texts are GBK in the binary; the code-page conversions between GBK, the
// other ANSI code pages, UTF-8 and UTF-16.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "text/text_codec.h"

// The notices are shown in the ANSI code page 936; the compiler must have turned the UTF-8
// source into GBK bytes.
TEST(TextEncoding, ChineseLiteralIsGbk) {
  constexpr std::string_view text = "中文加密狗";
  EXPECT_EQ(text, "\xD6\xD0\xCE\xC4\xBC\xD3\xC3\xDC\xB9\xB7");
}

namespace keldar {
namespace {

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

TEST(TextCodec, GbkAndUnicodeConvertBothWays) {
  EXPECT_EQ(Utf8ToAnsi(U8(u8"加密狗"), 936), "加密狗");
  EXPECT_EQ(AnsiToUtf8("加密狗", 936), U8(u8"加密狗"));
  EXPECT_EQ(Utf16ToCodePage(u"中文", 936), "\xD6\xD0\xCE\xC4");
  // An astral character (U+1F600) takes a surrogate pair in UTF-16 and four bytes in UTF-8.
  EXPECT_EQ(Utf8ToUtf16("A\xE5\x8A\xA0\xF0\x9F\x98\x80"), u"A\u52A0\xD83D\xDE00");
  EXPECT_EQ(Utf16ToUtf8(u"A\u52A0\xD83D\xDE00"), "A\xE5\x8A\xA0\xF0\x9F\x98\x80");
  EXPECT_TRUE(IsSupportedCodePage(65001));
  EXPECT_FALSE(IsSupportedCodePage(4242));
}

TEST(TextCodec, ACodePageWithoutConverterIsExplainedByName) {
  EXPECT_EQ(keldar::MissingConverter(936), "");
  EXPECT_EQ(keldar::MissingConverter(65001), "");
#ifdef _WIN32
  EXPECT_EQ(keldar::MissingConverter(4242),
            "code page 4242 cannot be converted: Windows has no conversion table for code page "
            "4242");
#else
  // glibc's converter files are here: only the code page's own converter is missing.
  EXPECT_EQ(keldar::MissingConverter(4242),
            "code page 4242 cannot be converted: iconv finds no converter for CP4242");
#endif
}

TEST(TextCodec, WhatCannotBeConvertedIsReplacedNotRefused) {
  // A GBK lead byte with a bad trail byte, and one cut off at the end: U+FFFD each.
  EXPECT_EQ(AnsiToUtf8("\xBC\xD3\x81 \xBC", 936), U8(u8"加") + "\xEF\xBF\xBD " + "\xEF\xBF\xBD");
  // Invalid UTF-8 (a stray continuation byte, an encoded surrogate) gives one "?" per byte.
  EXPECT_EQ(Utf8ToAnsi("a\x80"
                       "b\xED\xA0\x80",
                       1252),
            "a?b???");
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong "/"
  bool replaced = false;
  EXPECT_EQ(Utf16ToCodePage(u"caf\u00E9 \u0E01", 1252, &replaced), "caf\xE9 ?");
  EXPECT_TRUE(replaced);
  EXPECT_EQ(Utf16ToCodePage(u"plain", 1252, &replaced), "plain");
  EXPECT_FALSE(replaced);
  const char16_t lone[] = {u'x', 0xD800, u'y', 0};
  EXPECT_EQ(Utf16ToCodePage(lone, 936), "x?y");
  EXPECT_EQ(Utf16ToUtf8(lone), "x\xEF\xBF\xBDy");
  // A code page nobody converts still passes ASCII.
  EXPECT_EQ(AnsiToUtf8("ok\xE9", 4242), "ok\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToAnsi(U8(u8"ok加"), 4242), "ok?");
}

}  // namespace
}  // namespace keldar
