// keldar.exe itself, as shipped, started as its own process: under wine there is no USB host
// controller, so a detection finds only the computer and ends with the closing notice.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "ident/branding.h"
#include "res/resource.h"

namespace {

struct Search {
  DWORD process;
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto& search = *reinterpret_cast<Search*>(param);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  char className[32] = "", caption[256] = "";
  ::GetClassNameA(window, className, sizeof className);
  ::GetWindowTextA(window, caption, sizeof caption);
  if (process == search.process && std::string(className) == "#32770" &&
      std::string(caption) == search.caption && ::IsWindowVisible(window)) {
    search.found = window;
    return FALSE;
  }
  return TRUE;
}

HWND WaitForDialog(DWORD process, const char* caption) {
  for (int waited = 0; waited < 15000; waited += 20) {
    Search search{process, caption, nullptr};
    ::EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    ::Sleep(20);
  }
  return nullptr;
}

std::string ProgramPath() {
  char self[MAX_PATH] = "";
  ::GetModuleFileNameA(nullptr, self, sizeof self);
  std::string path(self);
  path.erase(path.find_last_of('\\') + 1);
  for (char c : std::string(KELDAR_PROGRAM)) path += c == '/' ? '\\' : c;
  return path;
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
  const std::string program = ProgramPath();
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
  EXPECT_EQ(std::string(text).rfind("非常抱歉的通知:\r\n\r\n\r\n\r\n没有检测到以知加密狗", 0), 0u)
      << text;
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
