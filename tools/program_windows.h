// A program started as its own process (Windows builds), and waiting on it: its dialogs as
// they appear, and the files a script drops to hand a step over.
#pragma once

#include <windows.h>

#include <string>

namespace keldar::tools {

// The visible dialog of `process` with `caption`, once it appears (none after `limitMs`).
inline HWND WaitForDialog(DWORD process, const char* caption, int limitMs) {
  for (int waited = 0; waited < limitMs; waited += 20, ::Sleep(20)) {
    for (HWND window = nullptr;
         (window = ::FindWindowExA(nullptr, window, "#32770", caption)) != nullptr;) {
      DWORD owner = 0;
      ::GetWindowThreadProcessId(window, &owner);
      if (owner == process && ::IsWindowVisible(window)) return window;
    }
  }
  return nullptr;
}

// Starts `program` as its own process; false (with the system's error) where it cannot start.
inline bool StartProgram(const char* program, PROCESS_INFORMATION& process) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  return ::CreateProcessA(program, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process) != FALSE;
}

// Whether `path` appeared within a minute.
inline bool WaitForFile(const std::string& path) {
  for (int waited = 0; waited < 60000; waited += 50, ::Sleep(50))
    if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  return false;
}

// Answers a notice with OK and waits until it is gone.
inline void AnswerNotice(HWND notice) {
  ::PostMessageA(notice, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  for (int waited = 0; ::IsWindow(notice) && waited < 5000; waited += 20) ::Sleep(20);
}

}  // namespace keldar::tools
