// keldar.exe itself, as shipped, started as its own process: under wine there is no USB host
// controller, so a detection finds only the computer and ends with the closing notice.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>

#include "ident/branding.h"
#include "res/resource.h"

namespace {

// The visible dialog of `process` with `caption`, once it appears.
HWND WaitForDialog(DWORD process, const char* caption) {
  for (int waited = 0; waited < 15000; waited += 20, ::Sleep(20)) {
    for (HWND window = nullptr;
         (window = ::FindWindowExA(nullptr, window, "#32770", caption)) != nullptr;) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(window, &owner);
      if (owner == process && ::IsWindowVisible(window)) return window;
    }
  }
  return nullptr;
}

class ShippedProgram : public ::testing::Test {
 protected:
  void TearDown() override {
    if (process_.hProcess == nullptr) return;
    if (::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process_.hProcess, 99);
    }
    ::CloseHandle(process_.hThread);
    ::CloseHandle(process_.hProcess);
  }
  PROCESS_INFORMATION process_{};
};

TEST_F(ShippedProgram, DetectShowsTheClosingNoticeAndExitEndsTheProcessWith18) {
  char self[MAX_PATH] = "";
  ::GetModuleFileNameA(nullptr, self, sizeof self);
  std::string program(self);
  program.erase(program.find_last_of('\\') + 1);
  for (char c : std::string(KELDAR_PROGRAM)) program += c == '/' ? '\\' : c;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  ASSERT_TRUE(::CreateProcessA(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &process_))
      << program << ": error " << ::GetLastError();

  HWND dialog = WaitForDialog(process_.dwProcessId, "KeldarV2.0");
  ASSERT_NE(dialog, nullptr) << "the main dialog did not appear";
  ::PostMessageA(::GetDlgItem(dialog, IDC_DETECT), BM_CLICK, 0, 0);

  HWND notice = WaitForDialog(process_.dwProcessId, "Keldar" KELDAR_CAPTION_SUFFIX);
  ASSERT_NE(notice, nullptr) << "no notice appeared";
  EXPECT_EQ(::GetWindow(notice, GW_OWNER), dialog);
  char text[1024] = "";
  ::GetDlgItemTextA(notice, 0xFFFF, text, sizeof text);
  EXPECT_STREQ(text, "非常抱歉的通知:\r\n\r\n\r\n\r\n没有检测到以知加密狗,请联系我们，我们将免费为您辨别"
                     "您的加密狗型号\r\n我们的网站：https://keldar.example.org  电话：400-000-0000  "
                     "\r\n\r\n感谢您的使用！！\r\n ");
  // Only the computer is listed, and no device.
  EXPECT_EQ(::SendDlgItemMessageA(dialog, IDC_DEVICE_TREE, TVM_GETCOUNT, 0, 0), 1);
  EXPECT_EQ(::SendDlgItemMessageA(dialog, IDC_DEVICE_LIST, LVM_GETITEMCOUNT, 0, 0), 0);
  ::PostMessageA(notice, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  for (int waited = 0; ::IsWindow(notice) && waited < 5000; waited += 20) ::Sleep(20);
  EXPECT_FALSE(::IsWindow(notice));

  ::PostMessageA(::GetDlgItem(dialog, IDC_EXIT), BM_CLICK, 0, 0);
  ASSERT_EQ(::WaitForSingleObject(process_.hProcess, 10000), WAIT_OBJECT_0)
      << "the program did not end";
  DWORD exitCode = 0;
  ::GetExitCodeProcess(process_.hProcess, &exitCode);
  EXPECT_EQ(exitCode, 18u);
}

}  // namespace
