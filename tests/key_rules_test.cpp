#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ident/branding.h"
#include "ident/key_rules.h"

using keldar::KeyNoticesFor;
using keldar::KeyRule;
using keldar::KeyRuleCount;
using keldar::KeyRules;
using keldar::ProductMatch;

namespace {

constexpr std::string_view kKnownHeading = "检测到以知加密狗\r\n\r\n加密狗型号：";
constexpr std::string_view kUnknownHeading = "检测到未知加密狗\r\n\r\n加密狗型号：";

enum Heading { kKnown, kUnknown };
enum Kind { kExact, kAny, kAnyOther };

struct ExpectedNotice {
  Heading heading;
  const char* model;
};

struct PublishedRule {
  std::uint16_t vendorId;
  Kind kind;
  std::vector<std::uint16_t> productIds;  // one table row per ID; empty for any and any other
  std::vector<ExpectedNotice> notices;
};

// The rule table as published, one entry per published line, several product IDs per line
// where the line lists several.
const PublishedRule kPublishedRules[] = {
    {0x0471, kExact, {0x485D},
     {{kKnown, "深思洛克(senseLock)  SenseIV2.x 深思4智能加密狗 感谢您的使用！！\r\n "}}},
    {0x04B4, kExact, {0x4A58, 0x4A59},
     {{kKnown, "深思洛克(senseLock)  深思3加密狗 感谢您的使用！！\r\n "}}},
    {0x04B9, kExact, {0x0300},
     {{kKnown, "SafeNet Ultra Pro 感谢您的使用！！\r\n "}}},
    {0x04B9, kExact, {0x0301, 0x0302, 0x0303, 0x0304},
     {{kKnown, "赛耐孚(SafeNet) USB Security Security Token  感谢您的使用！！\r\n "}}},
    {0x04B9, kExact, {0x8000},
     {{kKnown, "赛耐孚(SafeNet) Sentinel Hardware Key  感谢您的使用！！\r\n "}}},
    {0x04B9, kExact, {0x8001},
     {{kKnown, "赛耐孚(SafeNet) Sentinel Hardware Key RTC   感谢您的使用！！\r\n "}}},
    {0x04B9, kExact, {0x8002},
     {{kKnown, "赛耐孚(SafeNet) Sentinel Hardware Key Mega-Memory   感谢您的使用！！\r\n "}}},
    {0x04B9, kExact, {0x8003},
     {{kKnown, "赛耐孚(SafeNet) Sentinel Hardware Key Mega-Memory RTC  感谢您的使用！！\r\n "}}},
    {0x04B9, kExact, {0x8004},
     {{kKnown, "赛耐孚(SafeNet) Sentinel Dual Hardware Key  感谢您的使用！！\r\n "}}},
    {0x04B9, kExact, {0x8005},
     {{kKnown, "赛耐孚(SafeNet) Sentinel Dual Hardware Key RTC 感谢您的使用！！\r\n "}}},
    {0x0529, kExact, {0x0001},
     {{kKnown, "SafeNet HASP HL SRM 感谢您的使用！！\r\n "}}},
    {0x064F, kExact, {0x0BD7},
     {{kKnown, "WIBU WIBU U+加密狗,有驱型 感谢您的使用！！\r\n "}}},
    {0x064F, kExact, {0x0BD8},
     {{kKnown, "WIBU WIBU RU+加密狗,有驱型 感谢您的使用！！\r\n "}}},
    {0x08E2, kExact, {0x0002},
     {{kKnown, "彩虹 UMI系列加密狗 感谢您的使用！！\r\n "}}},
    {0x08E2, kExact, {0x0004},
     {{kKnown, "彩虹 UDA系列加密狗 感谢您的使用！！\r\n "}}},
    {0x08E2, kExact, {0x0005},
     {{kKnown, "赛耐孚(SafeNet) 精灵狗UGA(GeniusDog),有驱型 感谢您的使用！！\r\n "}}},
    {0x08E2, kExact, {0x0006},
     {{kKnown, "彩虹 宏狗 感谢您的使用！！\r\n "}}},
    {0x08E2, kAnyOther, {},
     {{kUnknown, "彩虹 未知系列加密狗 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x5624},
     {{kKnown, "龙脉DAM2加密狗 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x5906},
     {{kKnown, "世纪龙脉(Century Longmai) DAM2 精简型,加密狗,无驱型 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x6B05},
     {{kKnown, "世纪龙脉(Century Longmai) NOX 加密狗,无驱型 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x7122},
     {{kKnown, "龙脉DAM2+加密狗 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x7504},
     {{kKnown, "世纪龙脉(Century Longmai) NOX5 主锁 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x7A13},
     {{kKnown, "世纪龙脉(Century Longmai) DAM2+网络狗,无驱型 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x7A21},
     {{kKnown, "龙脉nox2加密狗 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x8705},
     {{kKnown, "龙脉NOX5加密狗 感谢您的使用！！\r\n "}}},
    {0x0925, kExact, {0x9627},
     {{kKnown, "世纪龙脉(Century Longmai) NOX+ 单机狗,无驱型 感谢您的使用！！\r\n "}}},
    {0x0925, kAnyOther, {},
     {{kUnknown, "龙脉其他型号加密狗 感谢您的使用！！\r\n "}}},
    {0x096E, kExact, {0x0001},
     {{kKnown, "飞天诚信 -ROCKEY 4(有驱型) 感谢您的使用！！\r\n "}}},
    {0x096E, kExact, {0x0006},
     {{kKnown, "飞天诚信(ftsafe) 飞天4无驱型 加密锁 rockey 4 nd  ROCKEY4ND！！\r\n "}}},
    {0x096E, kExact, {0x0201},
     {{kKnown, "飞天诚信 -ROCKEY 2 感谢您的使用！！\r\n "}}},
    {0x096E, kExact, {0x0202},
     {{kKnown, "飞天诚信 -ROCKEY 3 感谢您的使用！！\r\n "}}},
    {0x096E, kExact, {0x0303},
     {{kKnown, "坚石诚信 -ET99/ET299 加密狗 感谢您的使用！！\r\n "}}},
    {0x096E, kExact, {0x0304},
     {{kKnown, "坚石诚信 -ET199 加密狗 感谢您的使用！！\r\n "}}},
    {0x096E, kExact, {0x0403},
     {{kKnown, "飞天诚信 -ROCKEY 6 感谢您的使用！！\r\n "}}},
    {0x096E, kAnyOther, {},
     {{kUnknown, "飞天诚信/坚石诚信未知型号加密狗 感谢您的使用！！\r\n "}}},
    {0x10F7, kExact, {0x8469},
     {{kKnown, "MegaLock 无驱型 感谢您的使用！！\r\n "}}},
    {0x1199, kExact, {0x8282},
     {{kKnown, "域天(域之天) 域之天 域天 简单型 加密锁！！\r\n "}}},
    {0x1312, kExact, {0x1912},
     {{kKnown, "东莞域之天 32位智能加密狗(有驱动型) 感谢您的使用！！\r\n "}}},
    {0x1312, kExact, {0x2012},
     {{kKnown, "东莞域之天 32位智能加密狗 感谢您的使用！！\r\n "}}},
    {0x1312, kAnyOther, {},
     {{kUnknown, "东莞域之天未知型号加密狗 感谢您的使用！！\r\n "}}},
    {0x1BC0, kExact, {0x1001},
     {{kKnown, "深思洛克(senseLock)  灵锐 加密狗 感谢您的使用！！\r\n "}}},
    {0x1BC0, kExact, {0x8013},
     {{kKnown, "深思洛克(SenseLock) 精锐 E(Elite-E)智能狗,无驱型 感谢您的使用！！\r\n "}}},
    {0x1BC0, kExact, {0x8113},
     {{kKnown, "深思洛克(SenseLock) OME速达 3000 Pro,无驱型 感谢您的使用！！\r\n "}}},
    {0x3689, kExact, {0x3689},
     {{kKnown, "域之天(YuTian) 域天简单型(带密码)加密狗,无驱型(F2K) 感谢您的使用！！\r\n "}}},
    {0x3689, kExact, {0x8762},
     {{kKnown, "东莞域之天 YT88加密狗 感谢您的使用！！\r\n "}}},
    {0x5042, kAny, {},
     {{kKnown, "江波龙(NetCom) 安全芯(SChip) 加密狗,有驱型 感谢您的使用！！\r\n "}}},
    {0x5149, kExact, {0xEACE},
     {{kKnown, "波龙(NetCom) 易锁(SimpleKey)加密狗,无驱型 感谢您的使用！！\r\n "},
      {kKnown, "杭州唯赛 易锁(Simple Key) 无驱型 感谢您的使用！！\r\n "}}},
    {0x5149, kAnyOther, {},
     {{kKnown, "波龙(NetCom) 易锁(SimpleKey)加密狗,无驱型 感谢您的使用！！\r\n "}}},
    {0x6A75, kExact, {0x9801},
     {{kKnown, "上海十条电子 JSP-C USB Key 有驱型 感谢您的使用！！\r\n "}}},
    {0x8030, kExact, {0x2002},
     {{kKnown, "和升达 SK-USB180 无驱型 感谢您的使用！！\r\n "}}},
    {0x83D3, kExact, {0x3773},
     {{kKnown, "域天(域之天) 域之天 域天 专业型/经济易用型 加密锁 感谢您的使用！！\r\n "}}},
};

std::string Full(const ExpectedNotice& notice) {
  return std::string(notice.heading == kKnown ? kKnownHeading : kUnknownHeading) + notice.model;
}

ProductMatch MatchOf(Kind kind) {
  switch (kind) {
    case kAny:
      return ProductMatch::Any;
    case kAnyOther:
      return ProductMatch::AnyOther;
    case kExact:
      break;
  }
  return ProductMatch::Exact;
}

// What KeyNoticesFor hands back, as owned strings in showing order.
std::vector<std::string> NoticesFor(std::uint16_t vendorId, std::uint16_t productId) {
  // Stale pointers from an earlier call must not survive into this one.
  static const char stale[] = "stale";
  const char* notices[2] = {stale, stale};
  const int count = KeyNoticesFor(vendorId, productId, notices);
  EXPECT_GE(count, 0);
  EXPECT_LE(count, 2);
  std::vector<std::string> texts;
  for (int i = 0; i < 2; ++i) {
    if (i < count) {
      EXPECT_NE(notices[i], nullptr);
      if (notices[i] != nullptr) texts.emplace_back(notices[i]);
    } else {
      EXPECT_EQ(notices[i], nullptr) << "unused entry " << i;
    }
  }
  return texts;
}

std::vector<std::string> Expected(const PublishedRule& rule) {
  std::vector<std::string> texts;
  for (const ExpectedNotice& notice : rule.notices) texts.push_back(Full(notice));
  return texts;
}

TEST(KeyRules, TableHoldsEveryPublishedRowByteForByte) {
  EXPECT_EQ(sizeof kPublishedRules / sizeof kPublishedRules[0], 52u);
  // 52 published lines, two of which list 2 and 4 product IDs.
  ASSERT_EQ(KeyRuleCount, 56u);

  std::vector<bool> matched(KeyRuleCount, false);
  for (const PublishedRule& published : kPublishedRules) {
    std::vector<std::uint16_t> products = published.productIds;
    if (published.kind != kExact) products = {0};
    for (const std::uint16_t productId : products) {
      int found = 0;
      for (std::size_t i = 0; i < KeyRuleCount; ++i) {
        const KeyRule& rule = KeyRules[i];
        if (rule.vendorId != published.vendorId || rule.match != MatchOf(published.kind)) continue;
        if (published.kind == kExact && rule.productId != productId) continue;
        ++found;
        matched[i] = true;
        SCOPED_TRACE(testing::Message() << std::hex << "rule " << rule.vendorId << ":"
                                        << rule.productId);
        ASSERT_NE(rule.notices[0], nullptr);
        EXPECT_EQ(std::string(rule.notices[0]), Full(published.notices[0]));
        if (published.notices.size() == 2) {
          ASSERT_NE(rule.notices[1], nullptr);
          EXPECT_EQ(std::string(rule.notices[1]), Full(published.notices[1]));
        } else {
          EXPECT_EQ(rule.notices[1], nullptr);
        }
      }
      EXPECT_EQ(found, 1) << std::hex << published.vendorId << ":" << productId;
    }
  }
  for (std::size_t i = 0; i < KeyRuleCount; ++i) {
    EXPECT_TRUE(matched[i]) << "table row " << i << " is not a published rule";
  }
}

TEST(KeyRules, EveryPublishedRowIsWhatItsDevicesYield) {
  for (const PublishedRule& published : kPublishedRules) {
    std::vector<std::uint16_t> products = published.productIds;
    // 0xFFFF is named by no row, so it reaches the vendor's catch-all.
    if (published.kind == kAnyOther) products = {0xFFFF};
    if (published.kind == kAny) products = {0x0000, 0x1234, 0xFFFF};
    for (const std::uint16_t productId : products) {
      EXPECT_EQ(NoticesFor(published.vendorId, productId), Expected(published))
          << std::hex << published.vendorId << ":" << productId;
    }
  }
}

TEST(KeyRules, RowsAreUniqueAndCatchAllsAreAlone) {
  std::set<std::pair<std::uint16_t, std::uint16_t>> named;
  std::map<std::uint16_t, int> rowsOfVendor, anyOtherRows, anyRows;
  for (std::size_t i = 0; i < KeyRuleCount; ++i) {
    const KeyRule& rule = KeyRules[i];
    ++rowsOfVendor[rule.vendorId];
    if (rule.match == ProductMatch::Exact) {
      EXPECT_TRUE(named.insert({rule.vendorId, rule.productId}).second) << "table row " << i;
    }
    if (rule.match == ProductMatch::AnyOther) ++anyOtherRows[rule.vendorId];
    if (rule.match == ProductMatch::Any) ++anyRows[rule.vendorId];
  }
  for (const auto& [vendorId, count] : anyOtherRows) EXPECT_EQ(count, 1) << std::hex << vendorId;
  for (const auto& [vendorId, count] : anyRows) {
    EXPECT_EQ(rowsOfVendor[vendorId], count) << std::hex << vendorId;
    EXPECT_EQ(count, 1) << std::hex << vendorId;
  }
}

// The message box shows ANSI code page 936 bytes; a build that lost the execution charset
// would hand it UTF-8.
TEST(KeyRules, NoticeReachesTheMessageBoxAsGbk) {
  const char* notices[2] = {};
  ASSERT_EQ(KeyNoticesFor(0x096E, 0x0201, notices), 1);
  EXPECT_EQ(std::string_view(notices[0]),
            "\xBC\xEC\xB2\xE2\xB5\xBD\xD2\xD4\xD6\xAA\xBC\xD3\xC3\xDC\xB9\xB7\x0D\x0A\x0D\x0A"
            "\xBC\xD3\xC3\xDC\xB9\xB7\xD0\xCD\xBA\xC5\xA3\xBA\xB7\xC9\xCC\xEC\xB3\xCF\xD0\xC5"
            "\x20\x2D\x52\x4F\x43\x4B\x45\x59\x20\x32\x20\xB8\xD0\xD0\xBB\xC4\xFA\xB5\xC4\xCA"
            "\xB9\xD3\xC3\xA3\xA1\xA3\xA1\x0D\x0A\x20");
}

TEST(KeyNoticesFor, UnnamedProductOfAFamilyGetsTheUnknownHeading) {
  EXPECT_EQ(NoticesFor(0x096E, 0x1201),
            std::vector<std::string>{
                "检测到未知加密狗\r\n\r\n加密狗型号：飞天诚信/坚石诚信未知型号加密狗 感谢您的使用！！\r\n "});
  EXPECT_EQ(NoticesFor(0x096E, 0x0201),
            std::vector<std::string>{
                "检测到以知加密狗\r\n\r\n加密狗型号：飞天诚信 -ROCKEY 2 感谢您的使用！！\r\n "});
}

TEST(KeyNoticesFor, VendorWithoutCatchAllYieldsNothingForUnnamedProducts) {
  EXPECT_TRUE(NoticesFor(0x04B9, 0x0305).empty());
  EXPECT_TRUE(NoticesFor(0x0529, 0x0002).empty());
  EXPECT_TRUE(NoticesFor(0x0529, 0x0000).empty());
  EXPECT_EQ(NoticesFor(0x0529, 0x0001),
            std::vector<std::string>{
                "检测到以知加密狗\r\n\r\n加密狗型号：SafeNet HASP HL SRM 感谢您的使用！！\r\n "});
}

TEST(KeyNoticesFor, VendorsWithoutRowsYieldNothing) {
  // The vendor ID is compared in all 16 bits: 0x196E and 0x006E are not 0x096E.
  for (const std::uint16_t vendorId : {0x0000, 0xFFFF, 0x8086, 0x196E, 0x006E, 0x0506}) {
    EXPECT_TRUE(NoticesFor(vendorId, 0x0201).empty()) << std::hex << vendorId;
    EXPECT_TRUE(NoticesFor(vendorId, 0x0000).empty()) << std::hex << vendorId;
  }
}

TEST(KeyNoticesFor, SimpleKeyProductYieldsTwoNoticesInOrderOthersOne) {
  const std::string netCom =
      "检测到以知加密狗\r\n\r\n加密狗型号：波龙(NetCom) 易锁(SimpleKey)加密狗,无驱型 感谢您的使用！！\r\n ";
  const std::string weiSai =
      "检测到以知加密狗\r\n\r\n加密狗型号：杭州唯赛 易锁(Simple Key) 无驱型 感谢您的使用！！\r\n ";
  EXPECT_EQ(NoticesFor(0x5149, 0xEACE), (std::vector<std::string>{netCom, weiSai}));
  EXPECT_EQ(NoticesFor(0x5149, 0x0001), std::vector<std::string>{netCom});
  EXPECT_EQ(NoticesFor(0x5149, 0xEACF), std::vector<std::string>{netCom});
}

TEST(KeyNoticesFor, AnyRowCoversEveryProductIdIncludingTheExtremes) {
  const std::vector<std::string> sChip{
      "检测到以知加密狗\r\n\r\n加密狗型号：江波龙(NetCom) 安全芯(SChip) 加密狗,有驱型 感谢您的使用！！\r\n "};
  EXPECT_EQ(NoticesFor(0x5042, 0x0000), sChip);
  EXPECT_EQ(NoticesFor(0x5042, 0xFFFF), sChip);
}

TEST(NoticeTexts, ClosingNoticeNamesWebAddressAndContactNumber) {
  const std::string expected = std::string(
      "非常抱歉的通知:\r\n\r\n\r\n\r\n"
      "没有检测到以知加密狗,请联系我们，我们将免费为您辨别您的加密狗型号\r\n"
      "我们的网站：") + KELDAR_WEB_ADDRESS + "  电话：" + KELDAR_CONTACT_NUMBER +
      "  \r\n\r\n感谢您的使用！！\r\n ";
  EXPECT_EQ(std::string(keldar::ClosingNotice()), expected);
}

TEST(NoticeTexts, CaptionIsTheProductTitleAndContactSuffix) {
  EXPECT_EQ(std::string(keldar::NoticeCaption()), std::string("Keldar") + KELDAR_CAPTION_SUFFIX);
}

}  // namespace
