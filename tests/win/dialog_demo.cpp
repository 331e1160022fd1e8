// The main dialog on a topology file, for screenshots: keldar.exe's dialog on a model
// platform, stepped by a script through files in a hand-shake folder.
//
//   keldar_dialog_demo <topology.json> <folder>
//
// The program creates <folder>\main once the dialog is up, holding the dialog's place on the
// screen as WxH+X+Y, and <folder>\notice when a message box opens. It presses detect when
// <folder>\detect appears and ends when <folder>\quit does.
#include <windows.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "app/keldar_dlg.h"
#include "platform/model/model_platform.h"
#include "model/topology_file.h"

namespace keldar {
namespace {

CWinApp demoApp;
CKeldarDlg* g_dialog = nullptr;
std::string g_folder;

std::string InFolder(const char* name) { return g_folder + "\\" + name; }

bool Exists(const char* name) {
  return ::GetFileAttributesA(InFolder(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

LRESULT CALLBACK WatchActivation(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && g_dialog != nullptr &&
      reinterpret_cast<HWND>(wParam) != g_dialog->m_hWnd) {
    std::ofstream{InFolder("notice")};
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// Runs in the dialog's loop and in the loops of the boxes it opens.
void CALLBACK Step(HWND, UINT, UINT_PTR, DWORD) {
  HWND dialog = g_dialog->m_hWnd;
  if (dialog == nullptr) return;
  if (!Exists("main")) {
    RECT r;
    ::GetWindowRect(dialog, &r);
    std::ofstream(InFolder("main")) << r.right - r.left << "x" << r.bottom - r.top << "+" << r.left
                                    << "+" << r.top;
  }
  // Once: the folder's detect goes with the press.
  if (Exists("detect") && ::DeleteFileA(InFolder("detect").c_str())) {
    ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_DETECT, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDC_DETECT)));
  }
  if (Exists("quit")) ::PostQuitMessage(0);
}

int Run(const char* topologyPath) {
  ModelPlatform platform(LoadTopologyFile(topologyPath));
  CKeldarDlg dialog(platform);
  g_dialog = &dialog;
  demoApp.m_pMainWnd = &dialog;
  HHOOK hook = ::SetWindowsHookExA(WH_CBT, &WatchActivation, nullptr, ::GetCurrentThreadId());
  ::SetTimer(nullptr, 0, 100, &Step);
  dialog.DoModal();
  ::UnhookWindowsHookEx(hook);
  demoApp.m_pMainWnd = nullptr;
  g_dialog = nullptr;
  return 0;
}

}  // namespace
}  // namespace keldar

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: keldar_dialog_demo <topology.json> <folder>\n");
    return 2;
  }
  keldar::g_folder = argv[2];
  try {
    return keldar::Run(argv[1]);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "keldar_dialog_demo: %s\n", error.what());
    return 1;
  }
}
