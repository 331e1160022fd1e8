// The real main dialog, created from its template and run modally on a model platform, driven
// from inside its own message loop.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/keldar_dlg.h"
#include "ident/branding.h"
#include "platform/model/model_platform.h"
#include "platform/model/topology_file.h"
#include "tests/win/dialog_driver.h"

namespace keldar {
namespace {

using wintest::ClickButton;
using wintest::DialogRun;
using wintest::Notify;
using wintest::ReadList;
using wintest::ReadTree;
using wintest::RunDialog;
using Rows = std::vector<std::vector<std::string>>;

// A key on root port 1, an external hub on port 2 with a two-notice key on its port 3 (that
// device has no friendly name), port 3 empty, a listed non-key device on port 4.
constexpr char8_t kKeysBehindHub[] = u8R"({
  "format": "keldar-topology",
  "version": 1,
  "computerName": "KELDAR-TEST",
  "controllers": [{
    "driverKey": "{36fc9e60-c465-11cf-8056-444553540000}\\0000",
    "friendlyName": "Intel(R) USB 3.0 可扩展主机控制器",
    "rootHub": {
      "name": "USB#ROOT_HUB30#4&1&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
      "hubDescriptor": { "bNumberOfPorts": 4 },
      "ports": [
        { "port": 1, "device": {
            "descriptor": { "idVendor": "0x096E", "idProduct": "0x0201" },
            "driverKey": "{c8b76578-d062-4834-b3d1-f8b6f2162a22}\\0001",
            "friendlyName": "USB 加密锁" } },
        { "port": 2, "device": {
            "descriptor": { "bDeviceClass": 9, "idVendor": "0x05E3", "idProduct": "0x0608" },
            "driverKey": "{36fc9e60-c465-11cf-8056-444553540000}\\0006",
            "friendlyName": "通用 USB 集线器",
            "hub": {
              "name": "USB#VID_05E3&PID_0608#5&2&0&2#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
              "hubDescriptor": { "bNumberOfPorts": 4 },
              "ports": [
                { "port": 3, "device": {
                    "descriptor": { "idVendor": "0x5149", "idProduct": "0xEACE" },
                    "driverKey": "{c8b76578-d062-4834-b3d1-f8b6f2162a22}\\0007" } }
              ] } } },
        { "port": 4, "device": {
            "descriptor": { "idVendor": "0x04B9", "idProduct": "0x0305" },
            "driverKey": "{c8b76578-d062-4834-b3d1-f8b6f2162a22}\\0008",
            "friendlyName": "Rainbow USB Token" } }
      ] } }]
})";

constexpr char8_t kNoControllers[] = u8R"({
  "format": "keldar-topology", "version": 1, "computerName": "KELDAR-TEST", "controllers": []
})";

model::UsbModel Topology(const char8_t* json) {
  return ReadTopology(reinterpret_cast<const char*>(json), "dialog test topology");
}

constexpr std::string_view kKnownHeading = "检测到以知加密狗\r\n\r\n加密狗型号：";
constexpr std::string_view kCaption = "Keldar" KELDAR_CAPTION_SUFFIX;

std::string Known(std::string_view model) { return std::string(kKnownHeading) + std::string(model); }

HWND Item(HWND dialog, int id) { return ::GetDlgItem(dialog, id); }

HICON ProgramIcon() { return ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(128)); }

// Pumps the dialog's messages until `done` holds or `limitMs` passes.
template <class Condition>
bool PumpUntil(HWND dialog, Condition done, DWORD limitMs = 2000) {
  const DWORD start = ::GetTickCount();
  while (!done()) {
    if (::GetTickCount() - start > limitMs) return false;
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (!::IsDialogMessageA(dialog, &msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
      }
    }
    ::Sleep(1);
  }
  return true;
}

class MainDialog : public ::testing::Test {
 protected:
  explicit MainDialog(const char8_t* topology = kKeysBehindHub)
      : platform_(Topology(topology)), dialog_(platform_) {}

  DialogRun Run(const std::function<void(HWND)>& script) {
    DialogRun run = RunDialog(dialog_, script);
    EXPECT_FALSE(run.timedOut) << "the dialog did not end by itself";
    return run;
  }
  static void Close(HWND dialog) { ::PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0); }

  ModelPlatform platform_;
  CKeldarDlg dialog_;
};

class EmptyComputer : public MainDialog {
 protected:
  EmptyComputer() : MainDialog(kNoControllers) {}
};

TEST_F(MainDialog, AfterStartUpListsAreReportsWithTheirColumnsAndColours) {
  HWND deviceList = nullptr;
  std::vector<wintest::ListColumn> deviceColumns, detailColumns;
  LONG styles[2] = {};
  LRESULT extended[2] = {}, text[2] = {}, background[2] = {};
  size_t treeCount = 99;
  Run([&](HWND dialog) {
    deviceList = Item(dialog, IDC_DEVICE_LIST);
    const HWND lists[2] = {deviceList, Item(dialog, IDC_DETAIL_LIST)};
    for (int i = 0; i < 2; ++i) {
      styles[i] = ::GetWindowLongA(lists[i], GWL_STYLE);
      extended[i] = ::SendMessageA(lists[i], LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
      text[i] = ::SendMessageA(lists[i], LVM_GETTEXTCOLOR, 0, 0);
      background[i] = ::SendMessageA(lists[i], LVM_GETBKCOLOR, 0, 0);
    }
    deviceColumns = wintest::ReadColumns(lists[0]);
    detailColumns = wintest::ReadColumns(lists[1]);
    treeCount = ReadTree(Item(dialog, IDC_DEVICE_TREE)).size();
    Close(dialog);
  });
  for (int i = 0; i < 2; ++i) {
    // The template's style in report view. The dialog manager trades WS_BORDER for a 3-D edge,
    // and the 6 x 6 unit list shows scroll bars for its wide columns.
    EXPECT_EQ(styles[i] & ~(WS_BORDER | WS_HSCROLL | WS_VSCROLL), 0x50010001) << "list " << i;
    EXPECT_EQ(extended[i], 0x21) << "list " << i;
    EXPECT_EQ(text[i], 0x003300) << "list " << i;
    EXPECT_EQ(background[i], 0xF0F0F0) << "list " << i;
  }
  ASSERT_EQ(deviceColumns.size(), 4u);
  const wintest::ListColumn expected[] = {
      {"Co. Info", LVCFMT_LEFT, 135}, {"Device Name", LVCFMT_LEFT, 155},
      {"Vender ID", LVCFMT_CENTER, 120}, {"Product ID", LVCFMT_CENTER, 120}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(deviceColumns[i].heading, expected[i].heading);
    EXPECT_EQ(deviceColumns[i].format & LVCFMT_JUSTIFYMASK, expected[i].format);
    EXPECT_EQ(deviceColumns[i].width, expected[i].width);
  }
  ASSERT_EQ(detailColumns.size(), 2u);
  EXPECT_EQ(detailColumns[0].heading, "");
  EXPECT_EQ(detailColumns[0].width, 140);
  EXPECT_EQ(detailColumns[1].heading, "");
  EXPECT_EQ(detailColumns[1].format & LVCFMT_JUSTIFYMASK, LVCFMT_LEFT);
  EXPECT_EQ(detailColumns[1].width, 390);
  EXPECT_EQ(treeCount, 0u) << "nothing is enumerated before detect";
}

TEST_F(MainDialog, AfterStartUpSystemMenuEndsWithAboutAndIconsAreSet) {
  UINT separatorType = 0, aboutId = 0;
  char aboutText[64] = "";
  LRESULT bigIcon = 0, smallIcon = 0, dragIcon = 0;
  HWND focus = nullptr, tree = nullptr;
  Run([&](HWND dialog) {
    HMENU menu = ::GetSystemMenu(dialog, FALSE);
    const int count = ::GetMenuItemCount(menu);
    MENUITEMINFOA separator{};
    separator.cbSize = sizeof separator;
    separator.fMask = MIIM_FTYPE;
    ::GetMenuItemInfoA(menu, count - 2, TRUE, &separator);
    separatorType = separator.fType;
    MENUITEMINFOA about{};
    about.cbSize = sizeof about;
    about.fMask = MIIM_ID | MIIM_STRING | MIIM_FTYPE;
    about.dwTypeData = aboutText;
    about.cch = sizeof aboutText;
    ::GetMenuItemInfoA(menu, count - 1, TRUE, &about);
    aboutId = about.wID;
    bigIcon = ::SendMessageA(dialog, WM_GETICON, ICON_BIG, 0);
    smallIcon = ::SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0);
    dragIcon = ::SendMessageA(dialog, WM_QUERYDRAGICON, 0, 0);
    focus = ::GetFocus();
    tree = Item(dialog, IDC_DEVICE_TREE);
    Close(dialog);
  });
  EXPECT_TRUE(separatorType & MFT_SEPARATOR);
  EXPECT_EQ(aboutId, 0x0010u);
  EXPECT_STREQ(aboutText, "关于 Keldar(&A)...");
  EXPECT_EQ(bigIcon, reinterpret_cast<LRESULT>(ProgramIcon()));
  EXPECT_EQ(smallIcon, reinterpret_cast<LRESULT>(ProgramIcon()));
  EXPECT_EQ(dragIcon, reinterpret_cast<LRESULT>(ProgramIcon()));
  EXPECT_EQ(focus, tree) << "the first tab stop has the focus";
}

TEST_F(MainDialog, TabVisitsTheFiveDataControlsAndButtonsInOrder) {
  std::vector<int> visited;
  Run([&](HWND dialog) {
    for (int i = 0; i < 6; ++i) {
      HWND focus = ::GetFocus();
      visited.push_back(::GetDlgCtrlID(focus));
      ::PostMessageA(focus, WM_KEYDOWN, VK_TAB, 0);
      ::PostMessageA(focus, WM_KEYUP, VK_TAB, 0xC0000000);
      PumpUntil(dialog, [&] { return ::GetFocus() != focus; }, 500);
    }
    Close(dialog);
  });
  EXPECT_EQ(visited, (std::vector<int>{1000, 1001, 1002, 1003, 1004, 1000}));
}

TEST_F(MainDialog, DetectBuildsTheTreeListsTheDevicesAndShowsEachKeyNotice) {
  std::vector<wintest::TreeRow> tree;
  Rows devices, details;
  HWND owner = nullptr;
  int images = 0;
  DialogRun run = Run([&](HWND dialog) {
    owner = dialog;
    ClickButton(dialog, IDC_DETECT);
    tree = ReadTree(Item(dialog, IDC_DEVICE_TREE));
    images = ImageList_GetImageCount(TreeView_GetImageList(Item(dialog, IDC_DEVICE_TREE),
                                                           TVSIL_NORMAL));
    devices = ReadList(Item(dialog, IDC_DEVICE_LIST));
    details = ReadList(Item(dialog, IDC_DETAIL_LIST));
    Close(dialog);
  });

  struct Expected {
    int depth;
    const char* text;
    int image;
    bool expanded;
  };
  const Expected expected[] = {
      {0, "KELDAR-TEST", 0, true},
      {1, "Intel(R) USB 3.0 可扩展主机控制器", 2, true},
      {2, "RootHub", 2, true},
      {3, "USB 加密锁", 2, false},
      {3, "通用 USB 集线器", 2, false},
      {4, "[Port1]NoDeviceConnected", 3, false},
      {4, "[Port2]NoDeviceConnected", 3, false},
      {4, "{c8b76578-d062-4834-b3d1-f8b6f2162a22}\\0007", 2, false},
      {4, "[Port4]NoDeviceConnected", 3, false},
      {3, "[Port3]NoDeviceConnected", 3, false},
      {3, "Rainbow USB Token", 2, false},
  };
  ASSERT_EQ(tree.size(), std::size(expected));
  for (size_t i = 0; i < tree.size(); ++i) {
    EXPECT_EQ(tree[i].depth, expected[i].depth) << "item " << i;
    EXPECT_EQ(tree[i].text, expected[i].text) << "item " << i;
    EXPECT_EQ(tree[i].image, expected[i].image) << "item " << i;
    EXPECT_EQ(tree[i].selectedImage, expected[i].image) << "item " << i;
    // Only items with children can show as expanded.
    if (i <= 4) {
      EXPECT_EQ(tree[i].expanded, expected[i].expanded) << "item " << i;
    }
  }

  EXPECT_EQ(images, 4) << "computer, hub, USB pair, USB";

  EXPECT_EQ(devices, (Rows{
                         {"Unknown", "USB 加密锁", "0x 096E", "0x 0201"},
                         {"Unknown", "{c8b76578-d062-4834-b3d1-f8b6f2162a22}\\0007", "0x 5149",
                          "0x EACE"},
                         {"Rainbow Technologies, Inc.", "Rainbow USB Token", "0x 04B9", "0x 0305"},
                     }));
  EXPECT_TRUE(details.empty());

  ASSERT_EQ(run.popUps.size(), 3u);
  EXPECT_EQ(run.popUps[0].text, Known("飞天诚信 -ROCKEY 2 感谢您的使用！！\r\n "));
  EXPECT_EQ(run.popUps[1].text, Known("波龙(NetCom) 易锁(SimpleKey)加密狗,无驱型 感谢您的使用！！\r\n "));
  EXPECT_EQ(run.popUps[2].text, Known("杭州唯赛 易锁(Simple Key) 无驱型 感谢您的使用！！\r\n "));
  for (const wintest::PopUp& notice : run.popUps) {
    EXPECT_EQ(notice.caption, kCaption);
    EXPECT_EQ(notice.owner, owner);
    EXPECT_EQ(notice.buttons, std::vector<int>{IDOK}) << "MB_OK: one OK button";
    EXPECT_FALSE(notice.hasIcon) << "MB_OK: no icon";
  }
}

TEST_F(EmptyComputer, DetectWithoutControllersShowsOnlyTheComputerAndTheClosingNotice) {
  std::vector<wintest::TreeRow> tree;
  Rows devices;
  HWND owner = nullptr;
  int images = 0;
  DialogRun run = Run([&](HWND dialog) {
    owner = dialog;
    ClickButton(dialog, IDC_DETECT);
    tree = ReadTree(Item(dialog, IDC_DEVICE_TREE));
    images = ImageList_GetImageCount(TreeView_GetImageList(Item(dialog, IDC_DEVICE_TREE),
                                                           TVSIL_NORMAL));
    devices = ReadList(Item(dialog, IDC_DEVICE_LIST));
    Close(dialog);
  });
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree[0].text, "KELDAR-TEST");
  EXPECT_TRUE(devices.empty());
  ASSERT_EQ(run.popUps.size(), 1u);
  EXPECT_EQ(run.popUps[0].text,
            "非常抱歉的通知:\r\n\r\n\r\n\r\n没有检测到以知加密狗,请联系我们，我们将免费为您辨别"
            "您的加密狗型号\r\n我们的网站：https://keldar.example.org  电话：400-000-0000  "
            "\r\n\r\n感谢您的使用！！\r\n ");
  EXPECT_EQ(run.popUps[0].caption, kCaption);
  EXPECT_EQ(run.popUps[0].owner, owner);
  EXPECT_EQ(run.popUps[0].buttons, std::vector<int>{IDOK});
  EXPECT_FALSE(run.popUps[0].hasIcon);
}

TEST_F(MainDialog, DetailListFollowsSelectionAndDoubleClickNotSingleClickAndDetectEmptiesIt) {
  Rows computer, device, afterSingleClick, afterDoubleClick, afterMiss, afterDetect;
  size_t treeAfterSecondDetect = 0, devicesAfterSecondDetect = 0;
  DialogRun run = Run([&](HWND dialog) {
    ClickButton(dialog, IDC_DETECT);
    HWND tree = Item(dialog, IDC_DEVICE_TREE);
    HWND details = Item(dialog, IDC_DETAIL_LIST);
    const auto items = ReadTree(tree);
    TreeView_SelectItem(tree, items[0].item);
    computer = ReadList(details);
    TreeView_SelectItem(tree, items[3].item);
    device = ReadList(details);

    ClickButton(dialog, IDC_DETECT);  // leaves the detail list empty
    afterDetect = ReadList(details);
    treeAfterSecondDetect = ReadTree(tree).size();
    devicesAfterSecondDetect = ReadList(Item(dialog, IDC_DEVICE_LIST)).size();

    NMITEMACTIVATE click{};
    click.iItem = 2;
    Notify(dialog, IDC_DEVICE_LIST, NM_CLICK, &click.hdr);
    afterSingleClick = ReadList(details);
    Notify(dialog, IDC_DEVICE_LIST, NM_DBLCLK, &click.hdr);
    afterDoubleClick = ReadList(details);
    click.iItem = 3;  // below the last row: the list stays as it is
    Notify(dialog, IDC_DEVICE_LIST, NM_DBLCLK, &click.hdr);
    afterMiss = ReadList(details);
    Close(dialog);
  });
  EXPECT_EQ(computer, (Rows{{"KELDAR-TEST", ""}}));
  ASSERT_EQ(device.size(), 16u);
  EXPECT_EQ(device[0], (std::vector<std::string>{"DeviceDriverKeyName",
                                                 "{c8b76578-d062-4834-b3d1-f8b6f2162a22}\\0001"}));
  EXPECT_EQ(device[8], (std::vector<std::string>{"idVendor:", "0x 096E"}));
  EXPECT_TRUE(afterDetect.empty());
  EXPECT_EQ(treeAfterSecondDetect, 11u) << "a second detect leaves one copy of the tree";
  EXPECT_EQ(devicesAfterSecondDetect, 3u) << "and of the device list";
  EXPECT_TRUE(afterSingleClick.empty());
  ASSERT_EQ(afterDoubleClick.size(), 16u);
  EXPECT_EQ(afterDoubleClick[8], (std::vector<std::string>{"idVendor:", "0x 04B9"}));
  EXPECT_EQ(afterDoubleClick[9], (std::vector<std::string>{"idProduct:", "0x 0305"}));
  EXPECT_EQ(afterMiss, afterDoubleClick);
  EXPECT_EQ(run.popUps.size(), 6u) << "two detections, three notices each";
}

TEST_F(MainDialog, SystemCommandsInTheAboutRangeOpenTheAboutBoxAndCloseEndsTheDialog) {
  HWND owner = nullptr;
  size_t afterFirst = 0, afterLast = 0, afterOutOfRange = 0;
  DialogRun run = Run([&](HWND dialog) {
    owner = dialog;
    ::SendMessageA(dialog, WM_SYSCOMMAND, 0x0010, 0);
    afterFirst = wintest::PopUpsSoFar();
    ::SendMessageA(dialog, WM_SYSCOMMAND, 0x001F, 0);
    afterLast = wintest::PopUpsSoFar();
    ::SendMessageA(dialog, WM_SYSCOMMAND, 0x0020, 0);
    afterOutOfRange = wintest::PopUpsSoFar();
    ::SendMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  });
  EXPECT_EQ(afterFirst, 1u);
  EXPECT_EQ(afterLast, 2u);
  EXPECT_EQ(afterOutOfRange, 2u);
  ASSERT_EQ(run.popUps.size(), 2u);
  for (const wintest::PopUp& about : run.popUps) {
    EXPECT_EQ(about.caption, "关于 Keldar");
    EXPECT_EQ(about.owner, owner);
    EXPECT_EQ(about.buttons, std::vector<int>{IDOK});
    EXPECT_TRUE(about.hasIcon);
  }
  EXPECT_EQ(run.result, IDCANCEL) << "SC_CLOSE ends the dialog through the framework's cancel";
}

TEST_F(MainDialog, ExitPostsOneQuitMessageCarrying18AndEndsTheDialog) {
  DialogRun run = Run([](HWND dialog) { ClickButton(dialog, IDC_EXIT); });
  EXPECT_TRUE(run.popUps.empty()) << "no prompt";
  MSG quit;
  ASSERT_TRUE(::PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(quit.wParam, 18u);
  EXPECT_FALSE(::PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

struct ShellCall {
  HWND owner;
  std::string verb, file;
  bool parameters, directory;
  INT show;
};
std::vector<ShellCall> g_shellCalls;

HINSTANCE WINAPI RecordShellCall(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                 LPCSTR directory, INT show) {
  g_shellCalls.push_back({owner, verb ? verb : "(null)", file ? file : "(null)",
                          parameters != nullptr, directory != nullptr, show});
  return reinterpret_cast<HINSTANCE>(42);
}

// A real left click at the centre of `window` (or at `at` inside it, in its client pixels).
void ClickAt(HWND dialog, HWND window, POINT at) {
  ::ClientToScreen(window, &at);
  ::SetCursorPos(at.x, at.y);
  INPUT press[2] = {};
  press[0].type = press[1].type = INPUT_MOUSE;
  press[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  press[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  ::SendInput(2, press, sizeof(INPUT));
  const size_t before = g_shellCalls.size();
  PumpUntil(dialog, [&] { return g_shellCalls.size() != before; }, 300);
}

POINT Centre(HWND window) {
  RECT rect;
  ::GetClientRect(window, &rect);
  return POINT{rect.right / 2, rect.bottom / 2};
}

TEST_F(MainDialog, ALeftClickOnTextsAndFramesOpensTheWebPageButNotOnButtons) {
  g_shellCalls.clear();
  dialog_.SetShellExecute(&RecordShellCall);
  size_t onHeading = 0, onFrame = 0, onButton = 0, onDoubleClick = 0;
  DialogRun run = Run([&](HWND dialog) {
    ClickAt(dialog, ::FindWindowExA(dialog, nullptr, "Static", "Keldar使用说明："),
            Centre(::FindWindowExA(dialog, nullptr, "Static", "Keldar使用说明：")));
    onHeading = g_shellCalls.size();
    HWND frame = ::FindWindowExA(dialog, nullptr, "Button", "特别说明：");
    RECT rect;
    ::GetClientRect(frame, &rect);
    ClickAt(dialog, frame, POINT{rect.right - 3, rect.bottom - 3});
    onFrame = g_shellCalls.size();
    HWND detect = Item(dialog, IDC_DETECT);
    ClickAt(dialog, detect, Centre(detect));
    onButton = g_shellCalls.size();
    ::SendMessageA(dialog, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(5, 5));
    onDoubleClick = g_shellCalls.size();
    Close(dialog);
  });
  EXPECT_EQ(onHeading, 1u);
  EXPECT_EQ(onFrame, 2u);
  EXPECT_EQ(onButton, 2u);
  EXPECT_EQ(onDoubleClick, 3u);
  EXPECT_EQ(run.popUps.size(), 3u) << "the click on detect reached the button";
  for (const ShellCall& call : g_shellCalls) {
    EXPECT_EQ(call.owner, nullptr);
    EXPECT_EQ(call.verb, "open");
    EXPECT_EQ(call.file, KELDAR_WEB_ADDRESS);
    EXPECT_FALSE(call.parameters);
    EXPECT_FALSE(call.directory);
    EXPECT_EQ(call.show, SW_SHOW);
  }
}

TEST(MinimizedIcon, IsCentredRoundingUpWithDivisionTowardZero) {
  EXPECT_EQ(MinimizedIconPosition(RECT{0, 0, 36, 36}, 32, 32).x, 2);
  EXPECT_EQ(MinimizedIconPosition(RECT{0, 0, 36, 36}, 32, 32).y, 2);
  EXPECT_EQ(MinimizedIconPosition(RECT{0, 0, 35, 40}, 32, 32).x, 2);
  EXPECT_EQ(MinimizedIconPosition(RECT{0, 0, 35, 40}, 32, 32).y, 4);
  // Smaller than the icon: (20 - 32 + 1) / 2 is -5, not -6.
  EXPECT_EQ(MinimizedIconPosition(RECT{0, 0, 20, 20}, 32, 32).x, -5);
}

}  // namespace
}  // namespace keldar
