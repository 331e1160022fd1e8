#include "app/keldar_app.h"

#include "app/keldar_dlg.h"
#include "backends/win32/win32_platform.h"

namespace keldar {

CKeldarApp theApp;

void CKeldarApp::InitInstance() {
  Win32Platform platform;
  {
    CKeldarDlg dialog(platform);
    SetMainWnd(&dialog);
    dialog.DoModal();
  }
  SetMainWnd(nullptr);
}

}  // namespace keldar
