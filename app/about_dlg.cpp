#include "app/about_dlg.h"

namespace keldar {

const MessageMap CAboutDlg::messageMap{&CDialog::messageMap, {}};

// The box binds no controls.
void CAboutDlg::DoDataExchange(CDataExchange* /*dx*/) {}

}  // namespace keldar
