// The program's resources, read back from the module as the system reads them: the two
// dialog templates, the About item's string, the icons and the version record.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <sstream>
#include <string>
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

// A resource of the module; each is in Chinese (PRC) alone.
const BYTE* Resource(LPCSTR type, int id) {
  EXPECT_EQ(Languages(type, MAKEINTRESOURCEA(id)), std::vector<WORD>{kChinesePrc})
      << "resource " << id;
  HRSRC found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
  if (found == nullptr) return nullptr;
  return static_cast<const BYTE*>(::LockResource(::LoadResource(nullptr, found)));
}

// Reads a resource's little-endian fields in order.
class Reader {
 public:
  explicit Reader(const BYTE* at) : start_(at), at_(at) {}
  template <class T>
  T Get() {
    T value = Peek<T>();
    at_ += sizeof value;
    return value;
  }
  template <class T = WORD>
  T Peek() const {
    T value;
    std::memcpy(&value, at_, sizeof value);
    return value;
  }
  // A name, or an ordinal (0xFFFF followed by the number) written as "#number".
  std::wstring NameOrOrdinal() {
    if (Peek() != 0xFFFF) return Text();
    Get<WORD>();
    return L"#" + std::to_wstring(Get<WORD>());
  }
  std::wstring Text() {
    std::wstring text;
    for (WORD unit = Get<WORD>(); unit != 0; unit = Get<WORD>()) text += static_cast<wchar_t>(unit);
    return text;
  }
  std::vector<BYTE> Bytes(size_t count) {
    at_ += count;
    return std::vector<BYTE>(at_ - count, at_);
  }
  void AlignToDword() { at_ += (4 - (at_ - start_) % 4) % 4; }
  const BYTE* At() const { return at_; }
  size_t Offset() const { return at_ - start_; }

 private:
  const BYTE* start_;
  const BYTE* at_;
};

std::wstring Hex(DWORD value) {
  wchar_t text[16];
  std::swprintf(text, 16, L"%lX", static_cast<unsigned long>(value));
  return text;
}

// The style, then the extended style, whichever order the form stores them in.
std::wstring Styles(Reader& r, bool extended) {
  const DWORD first = r.Get<DWORD>(), second = r.Get<DWORD>();
  std::wostringstream out;
  out << Hex(extended ? second : first) << L" " << Hex(extended ? first : second);
  return out.str();
}
std::wstring Box(Reader& r) {
  std::wostringstream out;
  out << r.Get<short>() << L"," << r.Get<short>() << L"," << r.Get<short>() << L","
      << r.Get<short>();
  return out.str();
}

// A dialog template, classic or extended, as lines: the dialog's own, then one per control,
// "id class 'text' style exStyle x,y,cx,cy". Class names are upper-cased, as the resource
// compiler stores them; the system matches them in any case.
std::vector<std::wstring> ReadTemplate(const BYTE* data) {
  Reader r(data);
  const bool extended = r.Peek<DWORD>() == 0xFFFF0001;  // version 1, then the signature
  if (extended) r.Get<DWORD>(), r.Get<DWORD>();        // and the help id
  std::wostringstream out;
  out << (extended ? L"extended " : L"classic ") << Styles(r, extended);
  const WORD count = r.Get<WORD>();
  out << L" " << Box(r) << L" menu '" << r.NameOrOrdinal() << L"' class '" << r.NameOrOrdinal()
      << L"' '" << r.Text() << L"' " << r.Get<WORD>() << L"pt";
  if (extended) {
    out << L" weight " << r.Get<WORD>() << L" italic " << int{r.Get<BYTE>()} << L" charset "
        << int{r.Get<BYTE>()};
  }
  out << L" " << r.Text();
  std::vector<std::wstring> lines{out.str()};
  for (WORD i = 0; i < count; ++i) {
    r.AlignToDword();
    const DWORD helpId = extended ? r.Get<DWORD>() : 0;
    const std::wstring styles = Styles(r, extended), box = Box(r);
    const int id = extended ? static_cast<int>(r.Get<DWORD>()) : r.Get<short>();
    std::wstring windowClass = r.NameOrOrdinal();
    for (wchar_t& c : windowClass) c = std::towupper(c);
    std::wostringstream control;
    control << id << L" " << windowClass << L" '" << r.NameOrOrdinal() << L"' " << styles << L" "
            << box;
    if (helpId != 0) control << L" help " << helpId;
    if (const WORD creationData = r.Get<WORD>(); creationData != 0) {
      control << L" creation data " << creationData;
    }
    lines.push_back(control.str());
  }
  return lines;
}

using Lines = std::vector<std::wstring>;

TEST(Resources, MainDialogTemplateMatchesItsTable) {
  const BYTE* data = Resource(RT_DIALOG, 102);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(ReadTemplate(data), (Lines{
      L"extended 90C800C0 40000 0,0,282,294 menu '' class '' 'KeldarV2.0' 9pt weight 0 italic 0 "
      L"charset 1 宋体",
      L"1000 SYSTREEVIEW32 'Tree1' 50810002 0 7,7,6,6",
      L"1001 SYSLISTVIEW32 'List1' 50810000 0 7,7,6,6",
      L"1002 SYSLISTVIEW32 'List2' 50810000 0 7,7,6,6",
      L"1003 #128 '检测加密狗' 50012C00 2000 29,252,57,24",
      L"1004 #128 '退出程序' 50012000 0 153,251,61,24",
      L"-1 #130 'Keldar使用说明：' 50020001 0 71,34,111,11",
      L"-1 #130 '1：插入加密狗，如果需要安装驱动的狗，请装好驱动！' 50020000 0 15,60,217,12",
      L"-1 #130 '2：单击 检测加密狗，一会就会弹出检测到的加密狗的型号了！' 50020000 0 15,82,248,12",
      L"-1 #128 '检测说明：' 50000007 0 7,7,265,101",
      L"-1 #128 '特别说明：' 50000007 0 7,122,265,70",
      L"-1 #130 '1：如果检测不到您插的狗型号，请联系我们，我们人工为您免费检测' "
      L"50020000 0 15,141,250,11",
      L"-1 #130 '2：此工具仅能检测USB型号的加密狗，其他型号暂时无法检测。' 50020000 0 15,157,244,11",
      L"-1 #130 '3：此工具可以检测任何型号的USB设备，如需定制，请联系我们！' 50020000 0 15,174,233,8",
      L"-1 #128 '联系我们：' 50000007 0 7,197,265,49",
      L"-1 #130 '新版本下载地址：" KELDAR_WEB_ADDRESS "' 50020000 0 16,211,245,11",
      L"-1 #130 '" KELDAR_CONTACT_LINE "' 50020000 0 16,227,206,14",
  }));
}

TEST(Resources, AboutBoxTemplateMatchesItsTable) {
  const BYTE* data = Resource(RT_DIALOG, 100);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(ReadTemplate(data), (Lines{
      L"classic 80C800C0 0 0,0,225,105 menu '' class '' '关于 Keldar' 9pt 宋体",
      L"-1 #130 '#128' 50000003 0 11,17,21,21",  // the icon, given by number
      L"-1 #130 'Keldar 1.0 版' 50020080 0 40,10,119,8",
      L"-1 #130 '" KELDAR_NOTICE_LINE "' 50020000 0 40,25,178,8",
      L"1 #128 '确定' 50030001 0 83,67,50,14",
      L"-1 #130 '" KELDAR_ABOUT_CONTACT_LINE "' 50020000 0 41,42,61,9",
  }));
}

TEST(Resources, AboutItemStringHasItsMnemonic) {
  char text[64] = "";
  EXPECT_GT(::LoadStringA(::GetModuleHandleA(nullptr), 101, text, sizeof text), 0);
  EXPECT_STREQ(text, "关于 Keldar(&A)...");
  EXPECT_EQ(Languages(RT_STRING, MAKEINTRESOURCEA(101 / 16 + 1)), std::vector<WORD>{kChinesePrc});
}

// An icon group as "WIDTHxBITS" per image, read from the images themselves, not from what
// the group's directory claims.
std::vector<std::string> IconGroup(int id) {
  std::vector<std::string> images;
  const BYTE* group = Resource(RT_GROUP_ICON, id);
  for (WORD i = 0; group != nullptr && i < Reader(group + 4).Get<WORD>(); ++i) {
    const BYTE* entry = group + 6 + 14 * i;
    BITMAPINFOHEADER header;
    std::memcpy(&header, Resource(RT_ICON, Reader(entry + 12).Get<WORD>()), sizeof header);
    EXPECT_EQ(header.biWidth, entry[0] == 0 ? 256 : entry[0]) << "icon " << id;
    images.push_back(std::to_string(header.biWidth) + "x" + std::to_string(header.biBitCount));
  }
  return images;
}

TEST(Resources, IconGroupsHoldTheirSizesAndDepths) {
  using Images = std::vector<std::string>;
  EXPECT_EQ(IconGroup(128), (Images{"32x4", "16x4"}));
  EXPECT_EQ(IconGroup(130), (Images{"32x4"}));
  EXPECT_EQ(IconGroup(131), (Images{"32x4", "16x4", "48x4", "32x8", "48x8", "16x8"}));
  EXPECT_EQ(IconGroup(132), (Images{"32x4"}));
  EXPECT_EQ(IconGroup(133), (Images{"32x4"}));
}

// A node of the version record and its children as lines, indented by depth: the key, then
// "=text" for a leaf's text, or a binary value in hex: the root's fixed part as double words,
// any other as words.
void ReadVersionNode(const BYTE* node, int depth, Lines& lines) {
  Reader r(node);
  const WORD length = r.Get<WORD>(), valueLength = r.Get<WORD>();
  const bool text = r.Get<WORD>() == 1;
  std::wstring line = std::wstring(depth, L' ') + r.Text();
  r.AlignToDword();
  std::vector<BYTE> value = r.Bytes(text ? valueLength * 2u : valueLength);
  r.AlignToDword();
  if (text && r.Offset() >= length) {
    std::wstring chars(reinterpret_cast<const wchar_t*>(value.data()), value.size() / 2);
    line += L"=" + chars.erase(chars.find_last_not_of(L'\0') + 1);
  } else if (!text) {
    for (Reader words(value.data()); words.Offset() < value.size();) {
      line += L" " + Hex(depth == 0 ? words.Get<DWORD>() : words.Get<WORD>());
    }
  }
  lines.push_back(line);
  for (; r.Offset() < length && r.Peek() != 0; r.AlignToDword()) {
    const WORD childLength = r.Peek();
    ReadVersionNode(r.At(), depth + 1, lines);
    r.Bytes(childLength);
  }
}

TEST(Resources, VersionRecordMatchesItsTable) {
  const BYTE* data = Resource(RT_VERSION, 1);
  ASSERT_NE(data, nullptr);
  Lines lines;
  ReadVersionNode(data, 0, lines);
  EXPECT_EQ(lines, (Lines{
      // Signature, structure version, file and product versions, flags mask and flags, OS,
      // type, subtype, date.
      L"VS_VERSION_INFO FEEF04BD 10000 10000 1 10000 1 3F 0 4 1 0 0 0",
      L" StringFileInfo",
      L"  080404b0",
      L"   Comments=",
      L"   CompanyName=",
      L"   FileDescription=Keldar Microsoft 基础类应用程序",
      L"   FileVersion=1, 0, 0, 1",
      L"   InternalName=Keldar",
      L"   LegalCopyright=" KELDAR_COPYRIGHT,
      L"   LegalTrademarks=",
      L"   OriginalFilename=Keldar.EXE",
      L"   PrivateBuild=",
      L"   ProductName=Keldar应用程序",
      L"   ProductVersion=1, 0, 0, 1",
      L"   SpecialBuild=",
      L" VarFileInfo",
      L"  Translation 804 4B0",
  }));
}

TEST(TestEnvironment, AnsiCodePageIsChinese) { EXPECT_EQ(::GetACP(), 936u); }

}  // namespace
