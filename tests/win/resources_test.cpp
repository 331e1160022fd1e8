// The program's resources, read back from the module as the system reads them: the two
// dialog templates and the version record (expected in tests/data/win), the About item's
// string and the icons.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <utility>
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

// An expected table of tests/data/win (UTF-8, one line each), the branding put in its place.
Lines Table(const char* name) {
  const std::pair<const wchar_t*, std::wstring> branding[] = {
      {L"{KELDAR_WEB_ADDRESS}", L"" KELDAR_WEB_ADDRESS},
      {L"{KELDAR_CONTACT_LINE}", L"" KELDAR_CONTACT_LINE},
      {L"{KELDAR_ABOUT_CONTACT_LINE}", L"" KELDAR_ABOUT_CONTACT_LINE},
      {L"{KELDAR_NOTICE_LINE}", L"" KELDAR_NOTICE_LINE},
      {L"{KELDAR_COPYRIGHT}", L"" KELDAR_COPYRIGHT}};
  std::ifstream in(std::string(KELDAR_TEST_DATA_DIR) + "/win/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  Lines lines;
  for (std::string line; std::getline(in, line);) {
    std::wstring wide(line.size(), L'\0');
    wide.resize(::MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                      wide.data(), static_cast<int>(wide.size())));
    for (const auto& [key, value] : branding)
      for (size_t at; (at = wide.find(key)) != std::wstring::npos;)
        wide.replace(at, std::wcslen(key), value);
    lines.push_back(wide);
  }
  return lines;
}

TEST(Resources, MainDialogTemplateMatchesItsTable) {
  const BYTE* data = Resource(RT_DIALOG, 102);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(ReadTemplate(data), Table("main-dialog.txt"));
}

TEST(Resources, AboutBoxTemplateMatchesItsTable) {
  const BYTE* data = Resource(RT_DIALOG, 100);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(ReadTemplate(data), Table("about-box.txt"));
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
  EXPECT_EQ(lines, Table("version.txt"));
}

TEST(TestEnvironment, AnsiCodePageIsChinese) { EXPECT_EQ(::GetACP(), 936u); }

}  // namespace
