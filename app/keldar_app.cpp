#include "app/keldar_app.h"

#include "app/keldar_dlg.h"
#include "backends/win32/win32_platform.h"

namespace keldar {

const MessageMapEntry CKeldarApp::messageEntries[] = {
    OnCommand<&CWinApp::OnHelp>(0, ID_HELP),
};
const MessageMap CKeldarApp::messageMap{&CWinApp::messageMap, messageEntries};

CKeldarApp theApp;

BOOL CKeldarApp::InitInstance() {
  Win32Platform platform;
  {
    CKeldarDlg dialog(platform);
    m_pMainWnd = &dialog;
    dialog.DoModal();
  }
  m_pMainWnd = nullptr;
  return FALSE;
}

}  // namespace keldar
