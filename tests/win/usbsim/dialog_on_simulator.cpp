// keldar.exe as shipped, on a simulated USB machine (run inside scripts/usbsim): the program
// starts, detect is pressed, each key notice of the machine's golden output appears in order
// with its exact text, and exit ends the process with 18.
//   keldar_usbsim_dialog KELDAR.EXE GOLDEN.json
// Exit status 0 when all of that held; 1 with one line per failed check otherwise.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ident/branding.h"
#include "res/resource.h"
#include "tools/program_windows.h"

using namespace keldar::tools;

namespace {

int failures = 0;

void Fail(const std::string& what) {
  std::fprintf(stderr, "keldar_usbsim_dialog: %s\n", what.c_str());
  ++failures;
}

// The golden file is UTF-8; the dialog shows ANSI (code page 936) text.
std::string Utf8ToAnsi(const std::string& utf8) {
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(units), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), units);
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
  std::string ansi(static_cast<std::size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.data(), units, ansi.data(), bytes, nullptr, nullptr);
  return ansi;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: keldar_usbsim_dialog KELDAR.EXE GOLDEN.json\n");
    return 2;
  }
  std::ifstream goldenFile(argv[2], std::ios::binary);
  std::stringstream golden;
  golden << goldenFile.rdbuf();
  const nlohmann::json document = nlohmann::json::parse(golden.str());
  std::vector<std::string> expected;
  for (const auto& notice : document.at("notices"))
    expected.push_back(Utf8ToAnsi(notice.get<std::string>()));
  // A machine without a key notice would let a dialog that shows nothing pass.
  if (expected.empty()) Fail("the golden output holds no notice");

  PROCESS_INFORMATION process{};
  if (!StartProgram(argv[1], process)) {
    Fail(std::string(argv[1]) + ": cannot start, error " + std::to_string(::GetLastError()));
    return 1;
  }
  HWND dialog = WaitForDialog(process.dwProcessId, "KeldarV2.0", 15000);
  if (dialog == nullptr) {
    Fail("the main dialog did not appear");
  } else {
    ::PostMessageA(::GetDlgItem(dialog, IDC_DETECT), BM_CLICK, 0, 0);
    for (std::size_t i = 0; i < expected.size(); ++i) {
      HWND notice = WaitForDialog(process.dwProcessId, "Keldar" KELDAR_CAPTION_SUFFIX, 15000);
      if (notice == nullptr) {
        Fail("notice " + std::to_string(i + 1) + " did not appear");
        break;
      }
      char text[2048] = "";
      ::GetDlgItemTextA(notice, 0xFFFF, text, sizeof text);
      if (expected[i] != text) Fail("notice " + std::to_string(i + 1) + " differs from the golden output");
      AnswerNotice(notice);
    }
    // Both keys are found, so the closing "no key" notice must not follow.
    if (WaitForDialog(process.dwProcessId, "Keldar" KELDAR_CAPTION_SUFFIX, 500) != nullptr)
      Fail("a notice appeared after the last expected one");
    if (::SendDlgItemMessageA(dialog, IDC_DEVICE_TREE, TVM_GETCOUNT, 0, 0) <= 1)
      Fail("the device tree shows no more than the computer");
    ::PostMessageA(::GetDlgItem(dialog, IDC_EXIT), BM_CLICK, 0, 0);
  }
  if (::WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
    Fail("the program did not end");
    ::TerminateProcess(process.hProcess, 99);
  } else {
    DWORD exitCode = 0;
    ::GetExitCodeProcess(process.hProcess, &exitCode);
    if (exitCode != 18) Fail("the program ended with " + std::to_string(exitCode) + ", not 18");
  }
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  if (failures == 0) std::printf("keldar.exe on the simulated machine: %zu notices in order, exit 18\n", expected.size());
  return failures == 0 ? 0 : 1;
}
