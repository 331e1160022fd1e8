// keldar_screenshot_driver: steps keldar.exe for the README's pictures (scripts/screenshot)
// through a hand-shake folder:
//   keldar_screenshot_driver FOLDER KELDAR.EXE
// FOLDER\main appears once the main dialog is up, holding its place on the screen as WxH+X+Y;
// detect is pressed when FOLDER\detect appears; FOLDER\notice appears when the first notice is
// up; when FOLDER\quit appears every notice is answered and exit is pressed.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ident/branding.h"
#include "res/resource.h"
#include "tools/program_windows.h"

using namespace keldar::tools;

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: keldar_screenshot_driver FOLDER KELDAR.EXE\n");
    return 2;
  }
  const std::string folder = argv[1];
  PROCESS_INFORMATION process{};
  if (!StartProgram(argv[2], process)) {
    std::fprintf(stderr, "keldar_screenshot_driver: %s: cannot start, error %lu\n", argv[2],
                 ::GetLastError());
    return 1;
  }
  HWND dialog = WaitForDialog(process.dwProcessId, "KeldarV2.0", 15000);
  if (dialog == nullptr) {
    std::fprintf(stderr, "keldar_screenshot_driver: the main dialog did not appear\n");
    ::TerminateProcess(process.hProcess, 99);
    return 1;
  }
  RECT r;
  ::GetWindowRect(dialog, &r);
  std::ofstream(folder + "\\main") << r.right - r.left << "x" << r.bottom - r.top << "+" << r.left
                                    << "+" << r.top;
  if (WaitForFile(folder + "\\detect")) {
    ::PostMessageA(::GetDlgItem(dialog, IDC_DETECT), BM_CLICK, 0, 0);
    if (WaitForDialog(process.dwProcessId, "Keldar" KELDAR_CAPTION_SUFFIX, 15000) != nullptr)
      std::ofstream{folder + "\\notice"};
  }
  WaitForFile(folder + "\\quit");
  for (HWND notice; (notice = WaitForDialog(process.dwProcessId,
                                            "Keldar" KELDAR_CAPTION_SUFFIX, 1000)) != nullptr;)
    AnswerNotice(notice);
  ::PostMessageA(::GetDlgItem(dialog, IDC_EXIT), BM_CLICK, 0, 0);
  if (::WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0)
    ::TerminateProcess(process.hProcess, 99);
  return 0;
}
