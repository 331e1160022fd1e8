// The real main dialog, created from its template and run modally on a model platform, driven
// from inside its own message loop.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/keldar_dlg.h"
#include "detect/report.h"
#include "ident/branding.h"
#include "backends/model/model_platform.h"
#include "model/topology_file.h"
#include "support/test_data.h"
#include "win/dialog_driver.h"

namespace keldar {
namespace {

using namespace wintest;
using Rows = std::vector<std::vector<std::string>>;
using Strings = std::vector<std::string>;

// A key on root port 1, an external hub on port 2 with a two-notice key on its port 3 (that
// device has no friendly name), port 3 empty, a listed non-key device on port 4.
const std::string kTopology =
    std::string(KELDAR_TEST_DATA_DIR) + "/fixtures/two-notice-key-behind-hub.json";

HWND Item(HWND dialog, int id) { return ::GetDlgItem(dialog, id); }

// Pumps the dialog's messages until `done` holds or `limitMs` passes.
template <class Condition>
void PumpUntil(HWND dialog, Condition done, DWORD limitMs) {
  for (const DWORD start = ::GetTickCount(); !done() && ::GetTickCount() - start <= limitMs;
       ::Sleep(1)) {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!::IsDialogMessageA(dialog, &msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
      }
    }
  }
}

// A tree item as one line: indented by depth, its text, its image (and the selected image where
// that differs), "+" when expanded.
Strings TreeLines(HWND dialog) {
  Strings lines;
  for (const TreeRow& row : ReadTree(Item(dialog, IDC_DEVICE_TREE))) {
    std::string& line = lines.emplace_back(2 * row.depth, ' ');
    line.append(row.text).append(" ").append(std::to_string(row.image));
    if (row.selectedImage != row.image) line.append("/").append(std::to_string(row.selectedImage));
    if (row.expanded) line.append(" +");
  }
  return lines;
}

// The tree as TreeLines shows it, from a report.
void ReportLines(const std::vector<TreeNode>& nodes, int depth, Strings& lines) {
  for (const TreeNode& node : nodes) {
    lines.push_back(std::string(2 * depth, ' ') + node.text + " " + std::to_string(node.image) +
                    (node.expanded ? " +" : ""));
    ReportLines(node.children, depth + 1, lines);
  }
}

class MainDialog : public ::testing::Test {
 protected:
  MainDialog()
      : platform_(LoadTopologyFile(kTopology)), dialog_(platform_) {}

  // What the same detection shows through in-memory views (its golden output pins that): the
  // real dialog must show the same.
  static DetectionReport Shown() {
    ModelPlatform platform(LoadTopologyFile(kTopology));
    DWORD error = 0;
    return RunDetection(platform, 936, "", &error).value();
  }

  DialogRun Run(const std::function<void(HWND)>& script) {
    DialogRun run = RunDialog(dialog_, [&](HWND dialog) {
      owner_ = dialog;
      script(dialog);
      ::PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    });
    EXPECT_FALSE(run.timedOut) << "the dialog did not end by itself";
    return run;
  }

  ModelPlatform platform_;
  CKeldarDlg dialog_;
  HWND owner_ = nullptr;
};

TEST_F(MainDialog, AfterStartUpListsMenuIconsAndFocusAreSet) {
  Strings lists, tree{"not read"};
  UINT separatorState = 0, aboutId = 0;
  char aboutText[64] = "";
  LRESULT icons[3] = {};
  int focus = 0;
  Run([&](HWND dialog) {
    for (int id : {IDC_DEVICE_LIST, IDC_DETAIL_LIST}) {
      // The template's style in report view. The dialog manager trades WS_BORDER for a 3-D
      // edge, and the 6 x 6 unit list shows scroll bars for its wide columns.
      const HWND list = Item(dialog, id);
      char state[64];
      std::snprintf(state, sizeof state, "style %lX ex %lX text %lX background %lX",
                    ::GetWindowLongA(list, GWL_STYLE) & ~(WS_BORDER | WS_HSCROLL | WS_VSCROLL),
                    static_cast<long>(::SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0)),
                    static_cast<long>(::SendMessageA(list, LVM_GETTEXTCOLOR, 0, 0)),
                    static_cast<long>(::SendMessageA(list, LVM_GETBKCOLOR, 0, 0)));
      lists.push_back(state);
      for (const std::string& column : ReadColumns(list)) lists.push_back(column);
    }
    tree = TreeLines(dialog);
    HMENU menu = ::GetSystemMenu(dialog, FALSE);
    const int count = ::GetMenuItemCount(menu);
    separatorState = ::GetMenuState(menu, count - 2, MF_BYPOSITION);
    aboutId = ::GetMenuItemID(menu, count - 1);
    ::GetMenuStringA(menu, count - 1, aboutText, sizeof aboutText, MF_BYPOSITION);
    icons[0] = ::SendMessageA(dialog, WM_GETICON, ICON_BIG, 0);
    icons[1] = ::SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0);
    icons[2] = ::SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0);
    // The order tab visits the controls in is the template's, which its table pins.
    focus = ::GetDlgCtrlID(::GetFocus());
  });
  EXPECT_EQ(lists, (Strings{"style 50010001 ex 21 text 3300 background F0F0F0",
                            "Co. Info|left|135", "Device Name|left|155", "Vender ID|centre|120",
                            "Product ID|centre|120",
                            "style 50010001 ex 21 text 3300 background F0F0F0",
                            "|left|140", "|left|390"}));
  EXPECT_TRUE(tree.empty()) << "nothing is enumerated before detect";
  EXPECT_TRUE(separatorState & MF_SEPARATOR);
  EXPECT_EQ(aboutId, 0x0010u);
  EXPECT_STREQ(aboutText, "关于 Keldar(&A)...");
  const HICON program = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128));
  for (LRESULT icon : icons) EXPECT_EQ(icon, reinterpret_cast<LRESULT>(program));
  EXPECT_EQ(focus, 1000) << "the first tab stop has the focus";
}

TEST_F(MainDialog, DetectBuildsTheTreeListsTheDevicesAndShowsEachKeyNotice) {
  Strings tree;
  Rows devices, details;
  int images = 0;
  DialogRun run = Run([&](HWND dialog) {
    ClickButton(dialog, IDC_DETECT);
    tree = TreeLines(dialog);
    images = ImageList_GetImageCount(
        TreeView_GetImageList(Item(dialog, IDC_DEVICE_TREE), TVSIL_NORMAL));
    devices = ReadList(Item(dialog, IDC_DEVICE_LIST));
    details = ReadList(Item(dialog, IDC_DETAIL_LIST));
  });
  const DetectionReport shown = Shown();
  Strings expectedTree;
  ReportLines(shown.tree, 0, expectedTree);
  EXPECT_EQ(tree, expectedTree);
  EXPECT_EQ(images, 4) << "computer, hub, USB pair, USB";
  EXPECT_EQ(devices, shown.devices);
  EXPECT_TRUE(details.empty());
  Strings notices;
  for (const PopUp& notice : run.popUps) {
    notices.push_back(notice.text);
    EXPECT_EQ(notice.caption, "Keldar" KELDAR_CAPTION_SUFFIX);
    EXPECT_EQ(notice.owner, owner_);
    EXPECT_EQ(notice.buttons, std::vector<int>{IDOK}) << "MB_OK: one OK button";
    EXPECT_FALSE(notice.hasIcon) << "MB_OK: no icon";
  }
  Strings expectedNotices;
  for (const auto& notice : shown.notices) expectedNotices.push_back(notice.text);
  EXPECT_EQ(notices, expectedNotices);
}

std::wstring FromUtf8(const std::string& utf8) {
  std::wstring wide(utf8.size(), L'\0');
  wide.resize(::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                    wide.data(), static_cast<int>(wide.size())));
  return wide;
}

// The program's own texts read back wide, as the screen shows them, equal the expected Chinese
// whatever the ANSI code page: the build runs this test again on a Western one (1252), where
// the narrow calls would show them garbled. Expected: the notices of the fixture's golden
// output; the caption, the About item and the detect button in win/own-texts.txt.
TEST_F(MainDialog, OwnTextsReadTheSameOnAnyCodePage) {
  if (const char* codePage = std::getenv("KELDAR_EXPECTED_CODE_PAGE")) {
    ASSERT_EQ(::GetACP(), std::stoul(codePage)) << "the locale did not take";
  }
  std::vector<std::wstring> seen;
  DialogRun run = Run([&](HWND dialog) {
    wchar_t text[256] = L"";
    HMENU menu = ::GetSystemMenu(dialog, FALSE);
    ::GetMenuStringW(menu, ::GetMenuItemCount(menu) - 1, text, 256, MF_BYPOSITION);
    seen.push_back(text);
    ::GetDlgItemTextW(dialog, IDC_DETECT, text, 256);
    seen.push_back(text);
    ClickButton(dialog, IDC_DETECT);
  });
  std::istringstream lines(testing::ReadData("win/own-texts.txt"));
  std::vector<std::wstring> expected;
  for (std::string line; std::getline(lines, line);) expected.push_back(FromUtf8(line));
  ASSERT_EQ(expected.size(), 3u);
  EXPECT_EQ(seen, (std::vector<std::wstring>{expected[1], expected[2]}));
  std::vector<std::wstring> notices, expectedNotices;
  for (const PopUp& notice : run.popUps) {
    notices.push_back(notice.wideText);
    EXPECT_EQ(notice.wideCaption, expected[0]);
  }
  const auto golden = nlohmann::json::parse(
      testing::ReadData("fixtures/two-notice-key-behind-hub.golden.json"));
  for (const auto& notice : golden["notices"])
    expectedNotices.push_back(FromUtf8(notice.get<std::string>()));
  EXPECT_EQ(notices, expectedNotices);
}

TEST_F(MainDialog, DetailListFollowsSelectionAndDoubleClickNotSingleClickAndDetectEmptiesIt) {
  Rows computer, device, afterSingleClick, afterDoubleClick, afterMiss;
  std::vector<size_t> afterDetect;
  DialogRun run = Run([&](HWND dialog) {
    ClickButton(dialog, IDC_DETECT);
    HWND tree = Item(dialog, IDC_DEVICE_TREE), details = Item(dialog, IDC_DETAIL_LIST);
    const auto items = ReadTree(tree);
    TreeView_SelectItem(tree, items[0].item);
    computer = ReadList(details);
    TreeView_SelectItem(tree, items[3].item);
    device = ReadList(details);

    ClickButton(dialog, IDC_DETECT);
    afterDetect = {ReadList(details).size(), ReadTree(tree).size(),
                   ReadList(Item(dialog, IDC_DEVICE_LIST)).size()};

    NMITEMACTIVATE click{};
    click.iItem = 2;
    Notify(dialog, IDC_DEVICE_LIST, NM_CLICK, &click.hdr);
    afterSingleClick = ReadList(details);
    Notify(dialog, IDC_DEVICE_LIST, NM_DBLCLK, &click.hdr);
    afterDoubleClick = ReadList(details);
    click.iItem = 3;  // below the last row: the list stays as it is
    Notify(dialog, IDC_DEVICE_LIST, NM_DBLCLK, &click.hdr);
    afterMiss = ReadList(details);
  });
  EXPECT_EQ(computer, (Rows{{"KELDAR-TEST", ""}}));
  ASSERT_EQ(device.size(), 16u);
  EXPECT_EQ(device[0],
            (Strings{"DeviceDriverKeyName", "{c8b76578-d062-4834-b3d1-f8b6f2162a22}\\0001"}));
  EXPECT_EQ(device[8], (Strings{"idVendor:", "0x 096E"}));
  EXPECT_EQ(afterDetect, (std::vector<size_t>{0, 11, 3}))
      << "a second detect empties the details and leaves one copy of the tree and device list";
  EXPECT_TRUE(afterSingleClick.empty());
  ASSERT_EQ(afterDoubleClick.size(), 16u);
  EXPECT_EQ(afterDoubleClick[8], (Strings{"idVendor:", "0x 04B9"}));
  EXPECT_EQ(afterDoubleClick[9], (Strings{"idProduct:", "0x 0305"}));
  EXPECT_EQ(afterMiss, afterDoubleClick);
  EXPECT_EQ(run.popUps.size(), 6u) << "two detections, three notices each";
}

TEST_F(MainDialog, SystemCommandsInTheAboutRangeOpenTheAboutBoxAndCloseEndsTheDialog) {
  std::vector<size_t> seen;
  DialogRun run = RunDialog(dialog_, [&](HWND dialog) {
    owner_ = dialog;
    for (WPARAM command : {0x0010, 0x001F, 0x0020}) {
      ::SendMessageA(dialog, WM_SYSCOMMAND, command, 0);
      seen.push_back(PopUpsSoFar());
    }
    ::SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  });
  EXPECT_FALSE(run.timedOut);
  seen.push_back(run.popUps.size());
  EXPECT_EQ(seen, (std::vector<size_t>{1, 2, 2, 2}));
  for (const PopUp& about : run.popUps) {
    EXPECT_EQ(about.caption, "关于 Keldar");
    EXPECT_EQ(about.owner, owner_);
    EXPECT_EQ(about.buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(about.hasIcon);
  }
  EXPECT_EQ(run.result, IDCANCEL) << "SC_CLOSE ends the dialog through the framework's cancel";
}

TEST_F(MainDialog, ExitPostsOneQuitMessageCarrying18AndEndsTheDialog) {
  DialogRun run = RunDialog(dialog_, [](HWND dialog) { ClickButton(dialog, IDC_EXIT); });
  EXPECT_FALSE(run.timedOut);
  EXPECT_TRUE(run.popUps.empty()) << "no prompt";
  MSG quit;
  ASSERT_TRUE(::PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(quit.wParam, 18u);
  EXPECT_FALSE(::PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

// Each call to the shell as "owner|verb|file|parameters|directory|show".
Strings g_shellCalls;

HINSTANCE WINAPI RecordShellCall(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                 LPCSTR directory, INT show) {
  std::string call = owner != nullptr ? "owner" : "";
  for (LPCSTR text : {verb, file, parameters, directory}) {
    call.append("|").append(text != nullptr ? text : "(null)");
  }
  g_shellCalls.push_back(call + "|" + std::to_string(show));
  return reinterpret_cast<HINSTANCE>(42);
}

// A real left click inside `window`, at `at` in its client pixels (default: its centre).
size_t ClickAt(HWND dialog, HWND window, POINT at = {-1, -1}) {
  RECT rect;
  ::GetClientRect(window, &rect);
  if (at.x < 0) at = POINT{rect.right / 2, rect.bottom / 2};
  ::ClientToScreen(window, &at);
  ::SetCursorPos(at.x, at.y);
  INPUT press[2] = {};
  press[0].type = press[1].type = INPUT_MOUSE;
  press[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  press[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  ::SendInput(2, press, sizeof(INPUT));
  const size_t before = g_shellCalls.size();
  PumpUntil(dialog, [&] { return g_shellCalls.size() != before; }, 300);
  return g_shellCalls.size();
}

TEST_F(MainDialog, ALeftClickOnTextsAndFramesOpensTheWebPageButNotOnButtons) {
  g_shellCalls.clear();
  dialog_.SetShellExecute(&RecordShellCall);
  std::vector<size_t> calls;
  DialogRun run = Run([&](HWND dialog) {
    HWND heading = ::FindWindowExA(dialog, nullptr, "Static", "Keldar使用说明：");
    calls.push_back(ClickAt(dialog, heading));
    HWND frame = ::FindWindowExA(dialog, nullptr, "Button", "特别说明：");
    RECT rect;
    ::GetClientRect(frame, &rect);
    calls.push_back(ClickAt(dialog, frame, POINT{rect.right - 3, rect.bottom - 3}));
    calls.push_back(ClickAt(dialog, Item(dialog, IDC_DETECT)));
    ::SendMessageA(dialog, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5));
    calls.push_back(g_shellCalls.size());
  });
  EXPECT_EQ(calls, (std::vector<size_t>{1, 2, 2, 3})) << "heading, frame, button, double click";
  EXPECT_EQ(run.popUps.size(), 3u) << "the click on detect reached the button";
  const std::string open = "|open|" KELDAR_WEB_ADDRESS "|(null)|(null)|" + std::to_string(SW_SHOW);
  EXPECT_EQ(g_shellCalls, (Strings{open, open, open}));
}

TEST(MinimizedIcon, IsCentredRoundingUpWithDivisionTowardZero) {
  auto at = [](LONG right, LONG bottom) {
    const POINT p = MinimizedIconPosition(RECT{0, 0, right, bottom}, 32, 32);
    return std::pair{p.x, p.y};
  };
  EXPECT_EQ(at(36, 36), std::pair(2L, 2L));
  EXPECT_EQ(at(35, 40), std::pair(2L, 4L));
  // Smaller than the icon: (20 - 32 + 1) / 2 is -5, not -6.
  EXPECT_EQ(at(20, 20), std::pair(-5L, -5L));
}

}  // namespace
}  // namespace keldar
