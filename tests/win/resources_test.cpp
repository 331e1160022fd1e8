// The program's resources, read back from the module as the system reads them: the two
// dialog templates, the About item's string, the icons and the version record.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "ident/branding.h"

namespace {

constexpr WORD kChinesePrc = 2052;

std::vector<WORD> Languages(LPCSTR type, LPCSTR name) {
  std::vector<WORD> languages;
  ::EnumResourceLanguagesA(
      nullptr, type, name,
      [](HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR param) -> BOOL {
        reinterpret_cast<std::vector<WORD>*>(param)->push_back(language);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&languages));
  return languages;
}

const BYTE* Resource(LPCSTR type, int id, DWORD* size = nullptr) {
  HRSRC found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
  if (found == nullptr) return nullptr;
  if (size != nullptr) *size = ::SizeofResource(nullptr, found);
  return static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, found)));
}

// Reads a template's little-endian fields in order.
class Reader {
 public:
  explicit Reader(const BYTE* at) : start_(at), at_(at) {}
  template <class T>
  T Get() {
    T value;
    std::memcpy(&value, at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  // A name or an ordinal (0xFFFF followed by the number).
  std::variant<std::wstring, int> NameOrOrdinal() {
    if (Peek() == 0xFFFF) {
      Get<WORD>();
      return static_cast<int>(Get<WORD>());
    }
    return Text();
  }
  std::wstring Text() {
    std::wstring text;
    for (WORD unit = Get<WORD>(); unit != 0; unit = Get<WORD>()) text += static_cast<wchar_t>(unit);
    return text;
  }
  void AlignToDword() {
    while ((at_ - start_) % 4 != 0) ++at_;
  }

 private:
  WORD Peek() const {
    WORD value;
    std::memcpy(&value, at_, sizeof value);
    return value;
  }
  const BYTE* start_;
  const BYTE* at_;
};

std::wstring Name(const std::variant<std::wstring, int>& value) {
  return std::holds_alternative<std::wstring>(value) ? std::get<std::wstring>(value) : L"#";
}
int Ordinal(const std::variant<std::wstring, int>& value) {
  return std::holds_alternative<int>(value) ? std::get<int>(value) : -1;
}

struct Control {
  DWORD id;
  std::variant<std::wstring, int> windowClass, text;
  DWORD style, exStyle;
  short x, y, cx, cy;
  DWORD helpId;
};

struct Template {
  DWORD style, exStyle;
  short x, y, cx, cy;
  std::variant<std::wstring, int> menu, windowClass;
  std::wstring caption;
  WORD pointSize = 0, weight = 0;
  BYTE italic = 0, charset = 0;
  std::wstring face;
  std::vector<Control> controls;
};

Template ParseExtended(const BYTE* data) {
  Reader r(data);
  Template t{};
  EXPECT_EQ(r.Get<WORD>(), 1) << "dlgVer";
  EXPECT_EQ(r.Get<WORD>(), 0xFFFF) << "signature of the extended form";
  r.Get<DWORD>();  // helpID
  t.exStyle = r.Get<DWORD>();
  t.style = r.Get<DWORD>();
  const WORD count = r.Get<WORD>();
  t.x = r.Get<short>(), t.y = r.Get<short>(), t.cx = r.Get<short>(), t.cy = r.Get<short>();
  t.menu = r.NameOrOrdinal();
  t.windowClass = r.NameOrOrdinal();
  t.caption = r.Text();
  t.pointSize = r.Get<WORD>(), t.weight = r.Get<WORD>();
  t.italic = r.Get<BYTE>(), t.charset = r.Get<BYTE>();
  t.face = r.Text();
  for (WORD i = 0; i < count; ++i) {
    r.AlignToDword();
    Control c{};
    c.helpId = r.Get<DWORD>();
    c.exStyle = r.Get<DWORD>();
    c.style = r.Get<DWORD>();
    c.x = r.Get<short>(), c.y = r.Get<short>(), c.cx = r.Get<short>(), c.cy = r.Get<short>();
    c.id = r.Get<DWORD>();
    c.windowClass = r.NameOrOrdinal();
    c.text = r.NameOrOrdinal();
    EXPECT_EQ(r.Get<WORD>(), 0) << "creation data of control " << i + 1;
    t.controls.push_back(c);
  }
  return t;
}

Template ParseClassic(const BYTE* data) {
  Reader r(data);
  Template t{};
  t.style = r.Get<DWORD>();
  t.exStyle = r.Get<DWORD>();
  const WORD count = r.Get<WORD>();
  t.x = r.Get<short>(), t.y = r.Get<short>(), t.cx = r.Get<short>(), t.cy = r.Get<short>();
  t.menu = r.NameOrOrdinal();
  t.windowClass = r.NameOrOrdinal();
  t.caption = r.Text();
  t.pointSize = r.Get<WORD>();
  t.face = r.Text();
  for (WORD i = 0; i < count; ++i) {
    r.AlignToDword();
    Control c{};
    c.style = r.Get<DWORD>();
    c.exStyle = r.Get<DWORD>();
    c.x = r.Get<short>(), c.y = r.Get<short>(), c.cx = r.Get<short>(), c.cy = r.Get<short>();
    c.id = r.Get<WORD>();
    c.windowClass = r.NameOrOrdinal();
    c.text = r.NameOrOrdinal();
    EXPECT_EQ(r.Get<WORD>(), 0) << "creation data of control " << i + 1;
    t.controls.push_back(c);
  }
  return t;
}

constexpr int kButton = 0x0080;
constexpr int kStatic = 0x0082;

struct ExpectedControl {
  DWORD id;
  const wchar_t* className;  // null: the predefined class `ordinal`
  int ordinal;
  const wchar_t* text;       // null: the maker's own text, checked apart
  DWORD style, exStyle;
  short x, y, cx, cy;
};

void ExpectControl(const Control& actual, const ExpectedControl& expected, int row) {
  SCOPED_TRACE("control " + std::to_string(row));
  EXPECT_EQ(actual.id, expected.id);
  if (expected.className != nullptr) {
    // The resource compiler stores named classes upper-cased; the system matches any case.
    EXPECT_EQ(_wcsicmp(Name(actual.windowClass).c_str(), expected.className), 0);
  } else {
    EXPECT_EQ(Ordinal(actual.windowClass), expected.ordinal);
  }
  if (expected.text != nullptr) {
    EXPECT_EQ(Name(actual.text), expected.text);
  }
  EXPECT_EQ(actual.style, expected.style);
  EXPECT_EQ(actual.exStyle, expected.exStyle);
  EXPECT_EQ(actual.x, expected.x);
  EXPECT_EQ(actual.y, expected.y);
  EXPECT_EQ(actual.cx, expected.cx);
  EXPECT_EQ(actual.cy, expected.cy);
  EXPECT_EQ(actual.helpId, 0u);
}

TEST(Resources, MainDialogTemplateMatchesItsTable) {
  const BYTE* data = Resource(RT_DIALOG, 102);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(Languages(RT_DIALOG, MAKEINTRESOURCEA(102)), std::vector<WORD>{kChinesePrc});
  const Template t = ParseExtended(data);
  EXPECT_EQ(t.style, 0x90C800C0u);
  EXPECT_EQ(t.exStyle, 0x00040000u);
  EXPECT_EQ(t.x, 0);
  EXPECT_EQ(t.y, 0);
  EXPECT_EQ(t.cx, 282);
  EXPECT_EQ(t.cy, 294);
  EXPECT_EQ(Name(t.menu), L"") << "no menu";
  EXPECT_EQ(Name(t.windowClass), L"") << "the standard dialog class";
  EXPECT_EQ(t.caption, L"KeldarV2.0");
  EXPECT_EQ(t.pointSize, 9);
  EXPECT_EQ(t.face, L"宋体");
  EXPECT_EQ(t.weight, 0);
  EXPECT_EQ(t.italic, 0);
  EXPECT_EQ(t.charset, 1);

  constexpr DWORD none = 0xFFFFFFFF;
  const ExpectedControl expected[] = {
      {1000, L"SysTreeView32", 0, L"Tree1", 0x50810002, 0, 7, 7, 6, 6},
      {1001, L"SysListView32", 0, L"List1", 0x50810000, 0, 7, 7, 6, 6},
      {1002, L"SysListView32", 0, L"List2", 0x50810000, 0, 7, 7, 6, 6},
      {1003, nullptr, kButton, L"检测加密狗", 0x50012C00, 0x00002000, 29, 252, 57, 24},
      {1004, nullptr, kButton, L"退出程序", 0x50012000, 0, 153, 251, 61, 24},
      {none, nullptr, kStatic, L"Keldar使用说明：", 0x50020001, 0, 71, 34, 111, 11},
      {none, nullptr, kStatic, L"1：插入加密狗，如果需要安装驱动的狗，请装好驱动！", 0x50020000, 0,
       15, 60, 217, 12},
      {none, nullptr, kStatic, L"2：单击 检测加密狗，一会就会弹出检测到的加密狗的型号了！",
       0x50020000, 0, 15, 82, 248, 12},
      {none, nullptr, kButton, L"检测说明：", 0x50000007, 0, 7, 7, 265, 101},
      {none, nullptr, kButton, L"特别说明：", 0x50000007, 0, 7, 122, 265, 70},
      {none, nullptr, kStatic, L"1：如果检测不到您插的狗型号，请联系我们，我们人工为您免费检测",
       0x50020000, 0, 15, 141, 250, 11},
      {none, nullptr, kStatic, L"2：此工具仅能检测USB型号的加密狗，其他型号暂时无法检测。",
       0x50020000, 0, 15, 157, 244, 11},
      {none, nullptr, kStatic, L"3：此工具可以检测任何型号的USB设备，如需定制，请联系我们！",
       0x50020000, 0, 15, 174, 233, 8},
      {none, nullptr, kButton, L"联系我们：", 0x50000007, 0, 7, 197, 265, 49},
      {none, nullptr, kStatic, nullptr, 0x50020000, 0, 16, 211, 245, 11},
      {none, nullptr, kStatic, nullptr, 0x50020000, 0, 16, 227, 206, 14},
  };
  ASSERT_EQ(t.controls.size(), std::size(expected));
  for (size_t i = 0; i < t.controls.size(); ++i) ExpectControl(t.controls[i], expected[i], i + 1);
  EXPECT_EQ(Name(t.controls[14].text), std::wstring(L"新版本下载地址：" L"" KELDAR_WEB_ADDRESS));
  EXPECT_FALSE(Name(t.controls[15].text).empty()) << "the contact line";
}

TEST(Resources, AboutBoxTemplateMatchesItsTable) {
  const BYTE* data = Resource(RT_DIALOG, 100);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(Languages(RT_DIALOG, MAKEINTRESOURCEA(100)), std::vector<WORD>{kChinesePrc});
  const Template t = ParseClassic(data);
  EXPECT_EQ(t.style, 0x80C800C0u);
  EXPECT_EQ(t.exStyle, 0u);
  EXPECT_EQ(t.cx, 225);
  EXPECT_EQ(t.cy, 105);
  EXPECT_EQ(Name(t.menu), L"");
  EXPECT_EQ(Name(t.windowClass), L"");
  EXPECT_EQ(t.caption, L"关于 Keldar");
  EXPECT_EQ(t.pointSize, 9);
  EXPECT_EQ(t.face, L"宋体");

  constexpr DWORD none = 0xFFFF;
  const ExpectedControl expected[] = {
      {none, nullptr, kStatic, nullptr, 0x50000003, 0, 11, 17, 21, 21},
      {none, nullptr, kStatic, L"Keldar 1.0 版", 0x50020080, 0, 40, 10, 119, 8},
      {none, nullptr, kStatic, nullptr, 0x50020000, 0, 40, 25, 178, 8},
      {IDOK, nullptr, kButton, L"确定", 0x50030001, 0, 83, 67, 50, 14},
      {none, nullptr, kStatic, nullptr, 0x50020000, 0, 41, 42, 61, 9},
  };
  ASSERT_EQ(t.controls.size(), std::size(expected));
  for (size_t i = 0; i < t.controls.size(); ++i) ExpectControl(t.controls[i], expected[i], i + 1);
  EXPECT_EQ(Ordinal(t.controls[0].text), 128) << "the icon, given by number";
  EXPECT_FALSE(Name(t.controls[2].text).empty()) << "the notice line";
  EXPECT_FALSE(Name(t.controls[4].text).empty()) << "the contact line";
}

TEST(Resources, AboutItemStringHasItsMnemonic) {
  char text[64] = "";
  EXPECT_GT(::LoadStringA(::GetModuleHandleA(nullptr), 101, text, sizeof text), 0);
  EXPECT_STREQ(text, "关于 Keldar(&A)...");
  EXPECT_EQ(Languages(RT_STRING, MAKEINTRESOURCEA(101 / 16 + 1)), std::vector<WORD>{kChinesePrc});
}

struct IconImage {
  int size;
  int bits;
  bool operator==(const IconImage&) const = default;
};

std::vector<IconImage> IconGroup(int id) {
  std::vector<IconImage> images;
  const BYTE* group = Resource(RT_GROUP_ICON, id);
  if (group == nullptr) return images;
  WORD count;
  std::memcpy(&count, group + 4, sizeof count);
  for (WORD i = 0; i < count; ++i) {
    const BYTE* entry = group + 6 + 14 * i;
    WORD iconId;
    std::memcpy(&iconId, entry + 12, sizeof iconId);
    // The image itself, not what its directory entry claims.
    BITMAPINFOHEADER header;
    std::memcpy(&header, Resource(RT_ICON, iconId), sizeof header);
    EXPECT_EQ(header.biWidth, entry[0] == 0 ? 256 : entry[0]) << "icon " << id;
    images.push_back({static_cast<int>(header.biWidth), header.biBitCount});
  }
  return images;
}

TEST(Resources, IconGroupsHoldTheirSizesAndDepths) {
  using Images = std::vector<IconImage>;
  EXPECT_EQ(IconGroup(128), (Images{{32, 4}, {16, 4}}));
  EXPECT_EQ(IconGroup(130), (Images{{32, 4}}));
  EXPECT_EQ(IconGroup(131), (Images{{32, 4}, {16, 4}, {48, 4}, {32, 8}, {48, 8}, {16, 8}}));
  EXPECT_EQ(IconGroup(132), (Images{{32, 4}}));
  EXPECT_EQ(IconGroup(133), (Images{{32, 4}}));
  for (int id : {128, 130, 131, 132, 133}) {
    EXPECT_EQ(Languages(RT_GROUP_ICON, MAKEINTRESOURCEA(id)), std::vector<WORD>{kChinesePrc})
        << "icon " << id;
  }
}

// One node of the version record: key, value bytes, children.
struct VersionNode {
  std::wstring key;
  std::vector<BYTE> value;
  bool text;
  std::vector<VersionNode> children;
};

VersionNode ParseVersionNode(const BYTE* node) {
  Reader r(node);
  const WORD length = r.Get<WORD>();
  const WORD valueLength = r.Get<WORD>();
  VersionNode parsed{};
  parsed.text = r.Get<WORD>() == 1;
  parsed.key = r.Text();
  r.AlignToDword();
  size_t offset = 6 + (parsed.key.size() + 1) * 2;
  offset = (offset + 3) & ~size_t{3};
  const size_t valueBytes = parsed.text ? valueLength * 2u : valueLength;
  parsed.value.assign(node + offset, node + offset + valueBytes);
  offset = (offset + valueBytes + 3) & ~size_t{3};
  while (offset < length) {
    const BYTE* child = node + offset;
    WORD childLength;
    std::memcpy(&childLength, child, sizeof childLength);
    if (childLength == 0) break;
    parsed.children.push_back(ParseVersionNode(child));
    offset = (offset + childLength + 3) & ~size_t{3};
  }
  return parsed;
}

std::wstring TextValue(const VersionNode& node) {
  std::wstring text(reinterpret_cast<const wchar_t*>(node.value.data()), node.value.size() / 2);
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

TEST(Resources, VersionRecordMatchesItsTable) {
  const BYTE* data = Resource(RT_VERSION, 1);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(Languages(RT_VERSION, MAKEINTRESOURCEA(1)), std::vector<WORD>{kChinesePrc});
  const VersionNode root = ParseVersionNode(data);
  EXPECT_EQ(root.key, L"VS_VERSION_INFO");
  ASSERT_EQ(root.value.size(), sizeof(VS_FIXEDFILEINFO));
  VS_FIXEDFILEINFO fixed;
  std::memcpy(&fixed, root.value.data(), sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed.dwFileVersionLS, 0x00000001u);
  EXPECT_EQ(fixed.dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed.dwProductVersionLS, 0x00000001u);
  EXPECT_EQ(fixed.dwFileFlagsMask, 0x3Fu);
  EXPECT_EQ(fixed.dwFileFlags, 0u);
  EXPECT_EQ(fixed.dwFileOS, 4u);
  EXPECT_EQ(fixed.dwFileType, 1u);
  EXPECT_EQ(fixed.dwFileSubtype, 0u);
  EXPECT_EQ(fixed.dwFileDateMS, 0u);
  EXPECT_EQ(fixed.dwFileDateLS, 0u);

  ASSERT_EQ(root.children.size(), 2u);
  const VersionNode& strings = root.children[0];
  EXPECT_EQ(strings.key, L"StringFileInfo");
  ASSERT_EQ(strings.children.size(), 1u);
  const VersionNode& block = strings.children[0];
  EXPECT_EQ(block.key, L"080404b0");
  const std::pair<const wchar_t*, const wchar_t*> entries[] = {
      {L"Comments", L""},
      {L"CompanyName", L""},
      {L"FileDescription", L"Keldar Microsoft 基础类应用程序"},
      {L"FileVersion", L"1, 0, 0, 1"},
      {L"InternalName", L"Keldar"},
      {L"LegalCopyright", nullptr},
      {L"LegalTrademarks", L""},
      {L"OriginalFilename", L"Keldar.EXE"},
      {L"PrivateBuild", L""},
      {L"ProductName", L"Keldar应用程序"},
      {L"ProductVersion", L"1, 0, 0, 1"},
      {L"SpecialBuild", L""},
  };
  ASSERT_EQ(block.children.size(), std::size(entries));
  for (size_t i = 0; i < block.children.size(); ++i) {
    EXPECT_EQ(block.children[i].key, entries[i].first);
    if (entries[i].second != nullptr) {
      EXPECT_EQ(TextValue(block.children[i]), entries[i].second) << "entry " << i;
    }
  }
  EXPECT_FALSE(TextValue(block.children[5]).empty()) << "the copyright";

  const VersionNode& variables = root.children[1];
  EXPECT_EQ(variables.key, L"VarFileInfo");
  ASSERT_EQ(variables.children.size(), 1u);
  EXPECT_EQ(variables.children[0].key, L"Translation");
  EXPECT_EQ(variables.children[0].value, (std::vector<BYTE>{0x04, 0x08, 0xB0, 0x04}));
}

TEST(TestEnvironment, AnsiCodePageIsChinese) { EXPECT_EQ(::GetACP(), 936u); }

}  // namespace
