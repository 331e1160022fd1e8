#include "app/framework.h"

#include <commctrl.h>

namespace keldar {

namespace {

CWinApp* g_app = nullptr;

}  // namespace

const MessageMap CCmdTarget::messageMap{nullptr, {}};

const MessageMap* CCmdTarget::GetMessageMap() const { return &messageMap; }

bool CCmdTarget::DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam,
                                    LRESULT& result) {
  for (const MessageMap* map = GetMessageMap(); map != nullptr; map = map->base) {
    for (const MessageMapEntry& entry : map->entries) {
      if (entry.message != message) continue;
      if (message == WM_COMMAND &&
          (entry.code != static_cast<int>(HIWORD(wParam)) || entry.id != LOWORD(wParam))) {
        continue;
      }
      if (message == WM_NOTIFY) {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (entry.code != static_cast<int>(header->code) || entry.id != header->idFrom) continue;
      }
      result = entry.thunk(*this, wParam, lParam);
      return true;
    }
  }
  return false;
}

HWND CWnd::Detach() {
  HWND hwnd = hwnd_;
  hwnd_ = nullptr;
  return hwnd;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const {
  return ::SendMessageA(hwnd_, message, wParam, lParam);
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT flags) {
  const DWORD style = static_cast<DWORD>(::GetWindowLongA(hwnd_, GWL_STYLE));
  const DWORD newStyle = (style & ~remove) | add;
  if (style == newStyle) return FALSE;
  ::SetWindowLongA(hwnd_, GWL_STYLE, static_cast<LONG>(newStyle));
  if (flags != 0) {
    ::SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0, SWP_NOZORDER | SWP_NOACTIVATE | flags);
  }
  return TRUE;
}

HICON CWnd::SetIcon(HICON icon, BOOL bigIcon) {
  return reinterpret_cast<HICON>(SendMessage(WM_SETICON, bigIcon, reinterpret_cast<LPARAM>(icon)));
}

int CWnd::MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
  return ::MessageBoxW(hwnd_, text, caption, type);
}

bool CWnd::WindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  // Handlers may send messages of their own; each message keeps its own request.
  const bool outerRequest = defaultRequested_;
  defaultRequested_ = false;
  bool handled = DispatchMessageMap(message, wParam, lParam, result);
  if (defaultRequested_) handled = false;
  defaultRequested_ = outerRequest;
  return handled;
}

const MessageMapEntry CDialog::messageEntries[] = {
    OnCommand<&CDialog::OnOK>(BN_CLICKED, IDOK),
    OnCommand<&CDialog::OnCancel>(BN_CLICKED, IDCANCEL),
};
const MessageMap CDialog::messageMap{&CCmdTarget::messageMap, messageEntries};

INT_PTR CDialog::DoModal() {
  // The tree and list classes must exist before a template that names them is created.
  static const BOOL classesRegistered = [] {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_TREEVIEW_CLASSES | ICC_LISTVIEW_CLASSES};
    return ::InitCommonControlsEx(&controls);
  }();
  (void)classesRegistered;

  HWND owner = nullptr;
  if (parent_ != nullptr) {
    owner = parent_->GetSafeHwnd();
  } else if (CWnd* main = AfxGetMainWnd(); main != nullptr && main != this) {
    owner = main->GetSafeHwnd();
  }
  return ::DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(templateId_), owner,
                           &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnInitDialog() {
  UpdateData();
  return TRUE;
}

void CDialog::DoDataExchange(CDataExchange* /*dx*/) {}

void CDialog::UpdateData() {
  CDataExchange dx{*this};
  DoDataExchange(&dx);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // The controls ask when they are made, before WM_INITDIALOG. A wide dialog would get the
  // wide notifications (TVN_SELCHANGEDW); the message maps name the ANSI ones, whose texts are
  // the platform's in its ANSI code page.
  if (message == WM_NOTIFYFORMAT) {
    ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, NFR_ANSI);
    return TRUE;
  }
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<CDialog*>(lParam);
    ::SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
    dialog->hwnd_ = hwnd;
    return dialog->OnInitDialog();
  }
  // Messages before WM_INITDIALOG (font, creation) belong to the system alone.
  auto* dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
  if (dialog == nullptr) return FALSE;

  LRESULT result = 0;
  const bool handled = dialog->WindowMessage(message, wParam, lParam, result);
  if (message == WM_NCDESTROY) {
    for (CWnd* control : dialog->boundControls_) control->Detach();
    dialog->boundControls_.clear();
    dialog->hwnd_ = nullptr;
    ::SetWindowLongPtrA(hwnd, DWLP_USER, 0);
  }
  if (!handled) return FALSE;
  switch (message) {
    // The messages whose answer a dialog procedure returns itself.
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORMSGBOX:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
      return static_cast<INT_PTR>(result);
    default:
      ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
      return TRUE;
  }
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (control.GetSafeHwnd() != nullptr) return;
  control.Attach(dx->dialog.GetDlgItem(id));
  dx->dialog.boundControls_.push_back(&control);
}

CWinApp::CWinApp() { g_app = this; }

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

int CWinApp::ExitInstance() {
  // A modal dialog that ends on a quit message leaves it queued for the application.
  MSG pending;
  if (::PeekMessageA(&pending, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
    return static_cast<int>(pending.wParam);
  return 0;
}

CWinApp* AfxGetApp() { return g_app; }

CWnd* AfxGetMainWnd() { return g_app != nullptr ? g_app->GetMainWnd() : nullptr; }

HINSTANCE AfxGetResourceHandle() { return ::GetModuleHandleA(nullptr); }

int AfxWinMain() {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return -1;
  app->InitInstance();
  return app->ExitInstance();
}

}  // namespace keldar
