// A thin dialog framework over Win32: an application object, command targets with static
// message maps, windows, modal dialogs run from a template, and control binding. Just enough for keldar.exe's two dialogs; every call is the plain Win32 one.
#pragma once

#include <windows.h>

#include <span>
#include <vector>

namespace keldar {

class CCmdTarget;

// One row of a message map: a window message, and for WM_COMMAND and WM_NOTIFY the
// notification code and the control id it must come with. The thunk unpacks the message's
// parameters and calls the handler.
using MessageThunk = LRESULT (*)(CCmdTarget& target, WPARAM wParam, LPARAM lParam);

struct MessageMapEntry {
  UINT message;
  int code;
  UINT id;
  MessageThunk thunk;
};

// One class's table. A message not found in it is looked up in its base class's table.
struct MessageMap {
  const MessageMap* base;
  std::span<const MessageMapEntry> entries;
};

namespace detail {

template <class T>
struct MemberClass;
template <class C, class R, class... A>
struct MemberClass<R (C::*)(A...)> {
  using type = C;
};
template <auto Handler>
using HandlerClass = typename MemberClass<decltype(Handler)>::type;

template <auto Handler>
LRESULT CallCommand(CCmdTarget& target, WPARAM, LPARAM) {
  (static_cast<HandlerClass<Handler>&>(target).*Handler)();
  return 0;
}

template <auto Handler>
LRESULT CallNotify(CCmdTarget& target, WPARAM, LPARAM lParam) {
  LRESULT result = 0;
  (static_cast<HandlerClass<Handler>&>(target).*Handler)(reinterpret_cast<NMHDR*>(lParam),
                                                        &result);
  return result;
}

template <UINT Message, auto Handler>
LRESULT CallMessage(CCmdTarget& target, WPARAM wParam, LPARAM lParam) {
  auto& self = static_cast<HandlerClass<Handler>&>(target);
  if constexpr (Message == WM_SYSCOMMAND) {
    (self.*Handler)(static_cast<UINT>(wParam), lParam);
    return 0;
  } else if constexpr (Message == WM_LBUTTONDOWN || Message == WM_LBUTTONDBLCLK) {
    const POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    (self.*Handler)(static_cast<UINT>(wParam), point);
    return 0;
  } else if constexpr (Message == WM_QUERYDRAGICON) {
    return reinterpret_cast<LRESULT>((self.*Handler)());
  } else {
    static_assert(Message == WM_PAINT, "no parameter unpacking for this message");
    (self.*Handler)();
    return 0;
  }
}

}  // namespace detail

// Rows of a message map, e.g. OnCommand<&CKeldarDlg::OnDetect>(BN_CLICKED, IDC_DETECT).
template <auto Handler>
constexpr MessageMapEntry OnCommand(int code, UINT id) {
  return {WM_COMMAND, code, id, &detail::CallCommand<Handler>};
}
template <auto Handler>
constexpr MessageMapEntry OnNotify(int code, UINT id) {
  return {WM_NOTIFY, code, id, &detail::CallNotify<Handler>};
}
template <UINT Message, auto Handler>
constexpr MessageMapEntry OnMessage() {
  return {Message, 0, 0, &detail::CallMessage<Message, Handler>};
}

class CCmdTarget {
 public:
  virtual ~CCmdTarget() = default;
  virtual const MessageMap* GetMessageMap() const;

  // Runs the handler of the first row, this class's table first, that matches the message.
  // False when no row does.
  bool DispatchMessageMap(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

 protected:
  static const MessageMap messageMap;
};

class CWnd : public CCmdTarget {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND GetSafeHwnd() const { return hwnd_; }
  void Attach(HWND hwnd) { hwnd_ = hwnd; }
  HWND Detach();

  LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
  HWND GetDlgItem(int id) const { return ::GetDlgItem(hwnd_, id); }
  BOOL ModifyStyle(DWORD remove, DWORD add, UINT flags = 0);
  HICON SetIcon(HICON icon, BOOL bigIcon);
  HMENU GetSystemMenu(BOOL revert) const { return ::GetSystemMenu(hwnd_, revert); }
  BOOL IsIconic() const { return ::IsIconic(hwnd_); }
  void GetClientRect(RECT* rect) const { ::GetClientRect(hwnd_, rect); }
  // Wide, so that the text reads the same whatever the system's ANSI code page.
  int MessageBox(const wchar_t* text, const wchar_t* caption, UINT type);

 protected:
  HWND hwnd_ = nullptr;

  // Asks for the system's default processing of the message being handled, once the
  // handler returns.
  void Default() { defaultRequested_ = true; }

  void OnSysCommand(UINT /*id*/, LPARAM /*lParam*/) { Default(); }
  void OnPaint() { Default(); }
  void OnLButtonDown(UINT /*flags*/, POINT /*point*/) { Default(); }
  void OnLButtonDblClk(UINT /*flags*/, POINT /*point*/) { Default(); }

  // Dispatches one message to the map. False leaves the message to the system's default
  // processing.
  bool WindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);

 private:
  bool defaultRequested_ = false;
};

struct CDataExchange;

class CDialog : public CWnd {
 public:
  explicit CDialog(UINT templateId, CWnd* parent = nullptr)
      : templateId_(templateId), parent_(parent) {}

  // Creates the dialog from its template and runs it until it ends or a quit message arrives
  // (which stays queued for the application). The owner is the parent window, or else the
  // application's main window. The dialog is a wide window: the template's UTF-16 texts reach
  // the screen as they are, not through the system's ANSI code page.
  INT_PTR DoModal();
  void EndDialog(INT_PTR result) { ::EndDialog(hwnd_, result); }

  virtual BOOL OnInitDialog();
  virtual void DoDataExchange(CDataExchange* dx);
  // Binds the controls that DoDataExchange names; the dialogs exchange no values.
  void UpdateData();
  virtual void OnOK() { EndDialog(IDOK); }
  virtual void OnCancel() { EndDialog(IDCANCEL); }

  const MessageMap* GetMessageMap() const override { return &messageMap; }

 protected:
  static const MessageMap messageMap;

 private:
  friend void DDX_Control(CDataExchange* dx, int id, CWnd& control);
  static const MessageMapEntry messageEntries[];
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  UINT templateId_;
  CWnd* parent_;
  std::vector<CWnd*> boundControls_;  // detached when the window goes
};

struct CDataExchange {
  CDialog& dialog;
};

// Attaches `control` to the dialog's child window `id`, once.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);

class CWinApp {
 public:
  // The one application object registers itself; the entry point finds it.
  CWinApp();
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  CWnd* GetMainWnd() const { return mainWnd_; }
  void SetMainWnd(CWnd* window) { mainWnd_ = window; }

  // Runs the program: its main dialog is its only message loop.
  virtual void InitInstance() {}
  // The process's exit code: the value a quit message carried, 0 when none came.
  virtual int ExitInstance();

 private:
  CWnd* mainWnd_ = nullptr;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
// The module that holds the resources: the program itself.
HINSTANCE AfxGetResourceHandle();
// The framework's entry point: runs the application object's InitInstance, then its exit
// processing.
int AfxWinMain();

}  // namespace keldar
