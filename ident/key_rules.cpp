#include "ident/key_rules.h"

#include <algorithm>
#include <string_view>

#include "ident/branding.h"

namespace keldar {

// Every key notice opens with one of these two headings; the texts are the ones users have
// always been shown, "以知" included.
#define KELDAR_KNOWN_HEADING "检测到以知加密狗\r\n\r\n加密狗型号："
#define KELDAR_UNKNOWN_HEADING "检测到未知加密狗\r\n\r\n加密狗型号："

// A notice is its heading, the key's model and a closing; the model is kept apart as well,
// for the reports that name the key without the notice around it.
#define KELDAR_KNOWN(model, closing) {KELDAR_KNOWN_HEADING model closing, model}
#define KELDAR_UNKNOWN(model, closing) {KELDAR_UNKNOWN_HEADING model closing, model}
#define KELDAR_THANKS "感谢您的使用！！\r\n "

// A vendor's AnyOther row uses the unknown heading when its text names only the key family.
const KeyRule KeyRules[] = {
    {0x0471, ProductMatch::Exact, 0x485D,
     {KELDAR_KNOWN("深思洛克(senseLock)  SenseIV2.x 深思4智能加密狗", " " KELDAR_THANKS),
      {}}},
    {0x04B4, ProductMatch::Exact, 0x4A58,
     {KELDAR_KNOWN("深思洛克(senseLock)  深思3加密狗", " " KELDAR_THANKS),
      {}}},
    {0x04B4, ProductMatch::Exact, 0x4A59,
     {KELDAR_KNOWN("深思洛克(senseLock)  深思3加密狗", " " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x0300,
     {KELDAR_KNOWN("SafeNet Ultra Pro", " " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x0301,
     {KELDAR_KNOWN("赛耐孚(SafeNet) USB Security Security Token", "  " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x0302,
     {KELDAR_KNOWN("赛耐孚(SafeNet) USB Security Security Token", "  " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x0303,
     {KELDAR_KNOWN("赛耐孚(SafeNet) USB Security Security Token", "  " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x0304,
     {KELDAR_KNOWN("赛耐孚(SafeNet) USB Security Security Token", "  " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x8000,
     {KELDAR_KNOWN("赛耐孚(SafeNet) Sentinel Hardware Key", "  " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x8001,
     {KELDAR_KNOWN("赛耐孚(SafeNet) Sentinel Hardware Key RTC", "   " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x8002,
     {KELDAR_KNOWN("赛耐孚(SafeNet) Sentinel Hardware Key Mega-Memory", "   " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x8003,
     {KELDAR_KNOWN("赛耐孚(SafeNet) Sentinel Hardware Key Mega-Memory RTC", "  " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x8004,
     {KELDAR_KNOWN("赛耐孚(SafeNet) Sentinel Dual Hardware Key", "  " KELDAR_THANKS),
      {}}},
    {0x04B9, ProductMatch::Exact, 0x8005,
     {KELDAR_KNOWN("赛耐孚(SafeNet) Sentinel Dual Hardware Key RTC", " " KELDAR_THANKS),
      {}}},
    {0x0529, ProductMatch::Exact, 0x0001,
     {KELDAR_KNOWN("SafeNet HASP HL SRM", " " KELDAR_THANKS),
      {}}},
    {0x064F, ProductMatch::Exact, 0x0BD7,
     {KELDAR_KNOWN("WIBU WIBU U+加密狗,有驱型", " " KELDAR_THANKS),
      {}}},
    {0x064F, ProductMatch::Exact, 0x0BD8,
     {KELDAR_KNOWN("WIBU WIBU RU+加密狗,有驱型", " " KELDAR_THANKS),
      {}}},
    {0x08E2, ProductMatch::Exact, 0x0002,
     {KELDAR_KNOWN("彩虹 UMI系列加密狗", " " KELDAR_THANKS),
      {}}},
    {0x08E2, ProductMatch::Exact, 0x0004,
     {KELDAR_KNOWN("彩虹 UDA系列加密狗", " " KELDAR_THANKS),
      {}}},
    {0x08E2, ProductMatch::Exact, 0x0005,
     {KELDAR_KNOWN("赛耐孚(SafeNet) 精灵狗UGA(GeniusDog),有驱型", " " KELDAR_THANKS),
      {}}},
    {0x08E2, ProductMatch::Exact, 0x0006,
     {KELDAR_KNOWN("彩虹 宏狗", " " KELDAR_THANKS),
      {}}},
    {0x08E2, ProductMatch::AnyOther, 0x0000,
     {KELDAR_UNKNOWN("彩虹 未知系列加密狗", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x5624,
     {KELDAR_KNOWN("龙脉DAM2加密狗", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x5906,
     {KELDAR_KNOWN("世纪龙脉(Century Longmai) DAM2 精简型,加密狗,无驱型", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x6B05,
     {KELDAR_KNOWN("世纪龙脉(Century Longmai) NOX 加密狗,无驱型", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x7122,
     {KELDAR_KNOWN("龙脉DAM2+加密狗", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x7504,
     {KELDAR_KNOWN("世纪龙脉(Century Longmai) NOX5 主锁", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x7A13,
     {KELDAR_KNOWN("世纪龙脉(Century Longmai) DAM2+网络狗,无驱型", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x7A21,
     {KELDAR_KNOWN("龙脉nox2加密狗", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x8705,
     {KELDAR_KNOWN("龙脉NOX5加密狗", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::Exact, 0x9627,
     {KELDAR_KNOWN("世纪龙脉(Century Longmai) NOX+ 单机狗,无驱型", " " KELDAR_THANKS),
      {}}},
    {0x0925, ProductMatch::AnyOther, 0x0000,
     {KELDAR_UNKNOWN("龙脉其他型号加密狗", " " KELDAR_THANKS),
      {}}},
    {0x096E, ProductMatch::Exact, 0x0001,
     {KELDAR_KNOWN("飞天诚信 -ROCKEY 4(有驱型)", " " KELDAR_THANKS),
      {}}},
    {0x096E, ProductMatch::Exact, 0x0006,
     {KELDAR_KNOWN("飞天诚信(ftsafe) 飞天4无驱型 加密锁 rockey 4 nd  ROCKEY4ND", "！！\r\n "),
      {}}},
    {0x096E, ProductMatch::Exact, 0x0201,
     {KELDAR_KNOWN("飞天诚信 -ROCKEY 2", " " KELDAR_THANKS),
      {}}},
    {0x096E, ProductMatch::Exact, 0x0202,
     {KELDAR_KNOWN("飞天诚信 -ROCKEY 3", " " KELDAR_THANKS),
      {}}},
    {0x096E, ProductMatch::Exact, 0x0303,
     {KELDAR_KNOWN("坚石诚信 -ET99/ET299 加密狗", " " KELDAR_THANKS),
      {}}},
    {0x096E, ProductMatch::Exact, 0x0304,
     {KELDAR_KNOWN("坚石诚信 -ET199 加密狗", " " KELDAR_THANKS),
      {}}},
    {0x096E, ProductMatch::Exact, 0x0403,
     {KELDAR_KNOWN("飞天诚信 -ROCKEY 6", " " KELDAR_THANKS),
      {}}},
    {0x096E, ProductMatch::AnyOther, 0x0000,
     {KELDAR_UNKNOWN("飞天诚信/坚石诚信未知型号加密狗", " " KELDAR_THANKS),
      {}}},
    {0x10F7, ProductMatch::Exact, 0x8469,
     {KELDAR_KNOWN("MegaLock 无驱型", " " KELDAR_THANKS),
      {}}},
    {0x1199, ProductMatch::Exact, 0x8282,
     {KELDAR_KNOWN("域天(域之天) 域之天 域天 简单型 加密锁", "！！\r\n "),
      {}}},
    {0x1312, ProductMatch::Exact, 0x1912,
     {KELDAR_KNOWN("东莞域之天 32位智能加密狗(有驱动型)", " " KELDAR_THANKS),
      {}}},
    {0x1312, ProductMatch::Exact, 0x2012,
     {KELDAR_KNOWN("东莞域之天 32位智能加密狗", " " KELDAR_THANKS),
      {}}},
    {0x1312, ProductMatch::AnyOther, 0x0000,
     {KELDAR_UNKNOWN("东莞域之天未知型号加密狗", " " KELDAR_THANKS),
      {}}},
    {0x1BC0, ProductMatch::Exact, 0x1001,
     {KELDAR_KNOWN("深思洛克(senseLock)  灵锐 加密狗", " " KELDAR_THANKS),
      {}}},
    {0x1BC0, ProductMatch::Exact, 0x8013,
     {KELDAR_KNOWN("深思洛克(SenseLock) 精锐 E(Elite-E)智能狗,无驱型", " " KELDAR_THANKS),
      {}}},
    {0x1BC0, ProductMatch::Exact, 0x8113,
     {KELDAR_KNOWN("深思洛克(SenseLock) OME速达 3000 Pro,无驱型", " " KELDAR_THANKS),
      {}}},
    {0x3689, ProductMatch::Exact, 0x3689,
     {KELDAR_KNOWN("域之天(YuTian) 域天简单型(带密码)加密狗,无驱型(F2K)", " " KELDAR_THANKS),
      {}}},
    {0x3689, ProductMatch::Exact, 0x8762,
     {KELDAR_KNOWN("东莞域之天 YT88加密狗", " " KELDAR_THANKS),
      {}}},
    {0x5042, ProductMatch::Any, 0x0000,
     {KELDAR_KNOWN("江波龙(NetCom) 安全芯(SChip) 加密狗,有驱型", " " KELDAR_THANKS),
      {}}},
    {0x5149, ProductMatch::Exact, 0xEACE,
     {KELDAR_KNOWN("波龙(NetCom) 易锁(SimpleKey)加密狗,无驱型", " " KELDAR_THANKS),
      KELDAR_KNOWN("杭州唯赛 易锁(Simple Key) 无驱型", " " KELDAR_THANKS)}},
    {0x5149, ProductMatch::AnyOther, 0x0000,
     {KELDAR_KNOWN("波龙(NetCom) 易锁(SimpleKey)加密狗,无驱型", " " KELDAR_THANKS),
      {}}},
    {0x6A75, ProductMatch::Exact, 0x9801,
     {KELDAR_KNOWN("上海十条电子 JSP-C USB Key 有驱型", " " KELDAR_THANKS),
      {}}},
    {0x8030, ProductMatch::Exact, 0x2002,
     {KELDAR_KNOWN("和升达 SK-USB180 无驱型", " " KELDAR_THANKS),
      {}}},
    {0x83D3, ProductMatch::Exact, 0x3773,
     {KELDAR_KNOWN("域天(域之天) 域之天 域天 专业型/经济易用型 加密锁", " " KELDAR_THANKS),
      {}}},
};

#undef KELDAR_KNOWN_HEADING
#undef KELDAR_UNKNOWN_HEADING
#undef KELDAR_KNOWN
#undef KELDAR_UNKNOWN
#undef KELDAR_THANKS

const std::size_t KeyRuleCount = sizeof KeyRules / sizeof KeyRules[0];

int KeyNoticesFor(std::uint16_t vendorId, std::uint16_t productId, const KeyNotice* notices[2]) {
  const KeyRule* anyRow = nullptr;
  const KeyRule* namingRow = nullptr;
  const KeyRule* anyOtherRow = nullptr;
  for (std::size_t i = 0; i < KeyRuleCount; ++i) {
    const KeyRule& rule = KeyRules[i];
    if (rule.vendorId != vendorId) continue;
    switch (rule.match) {
      case ProductMatch::Any:
        anyRow = &rule;
        break;
      case ProductMatch::Exact:
        if (rule.productId == productId) namingRow = &rule;
        break;
      case ProductMatch::AnyOther:
        anyOtherRow = &rule;
        break;
    }
  }
  // A vendor's any row covers all of its products; a row naming the product outranks the
  // vendor's catch-all for products nobody named.
  const KeyRule* chosen = anyRow ? anyRow : namingRow ? namingRow : anyOtherRow;

  if (chosen == nullptr) {
    notices[0] = notices[1] = nullptr;
    return 0;
  }
  notices[0] = &chosen->notices[0];
  notices[1] = chosen->notices[1].text != nullptr ? &chosen->notices[1] : nullptr;
  return notices[1] != nullptr ? 2 : 1;
}

const char* ClosingNotice() {
  return "非常抱歉的通知:\r\n\r\n\r\n\r\n"
         "没有检测到以知加密狗,请联系我们，我们将免费为您辨别您的加密狗型号\r\n"
         "我们的网站：" KELDAR_WEB_ADDRESS "  电话：" KELDAR_CONTACT_NUMBER
         "  \r\n\r\n感谢您的使用！！\r\n ";
}

const char* NoticeCaption() { return KELDAR_PRODUCT_TITLE KELDAR_CAPTION_SUFFIX; }

}  // namespace keldar
