#include "win/dialog_driver.h"

#include <commctrl.h>

#include <algorithm>

namespace keldar::wintest {

namespace {

// The test program's application object: the About box finds its owner, the main window,
// through it, as it does in keldar.exe.
CWinApp testApp;

struct ActiveRun {
  CDialog* dialog;
  const std::function<void(HWND)>* script;
  DialogRun* run;
  std::vector<HWND> answered;
};
ActiveRun* g_active = nullptr;

std::string WindowText(HWND window) {
  char text[1024] = "";
  ::GetWindowTextA(window, text, sizeof text);
  return text;
}

std::wstring WideWindowText(HWND window) {
  wchar_t text[1024] = L"";
  ::GetWindowTextW(window, text, 1024);
  return text;
}

std::string ClassName(HWND window) {
  char name[64] = "";
  ::GetClassNameA(window, name, sizeof name);
  return name;
}

BOOL CALLBACK DescribeChild(HWND child, LPARAM param) {
  auto& popUp = *reinterpret_cast<PopUp*>(param);
  // The box itself is not shown yet when it is activated; its controls' own style counts.
  const LONG style = ::GetWindowLongA(child, GWL_STYLE);
  const std::string kind = ClassName(child);
  if ((style & WS_VISIBLE) == 0) return TRUE;
  // A push button, default or not.
  if (_stricmp(kind.c_str(), "Button") == 0 && (style & BS_TYPEMASK) <= BS_DEFPUSHBUTTON) {
    popUp.buttons.push_back(::GetDlgCtrlID(child));
  } else if (_stricmp(kind.c_str(), "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON &&
             ::SendMessageA(child, STM_GETICON, 0, 0) != 0) {
    popUp.hasIcon = true;
  }
  return TRUE;
}

PopUp Describe(HWND window) {
  PopUp popUp;
  popUp.caption = WindowText(window);
  popUp.wideCaption = WideWindowText(window);
  // A message box's text is the static with id 0xFFFF.
  if (HWND text = ::GetDlgItem(window, 0xFFFF); text != nullptr) {
    popUp.text = WindowText(text);
    popUp.wideText = WideWindowText(text);
  }
  popUp.owner = ::GetWindow(window, GW_OWNER);
  ::EnumChildWindows(window, &DescribeChild, reinterpret_cast<LPARAM>(&popUp));
  return popUp;
}

void Answer(HWND window) {
  ::PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(window, IDOK)));
}

// A dialog other than the one under test.
bool IsPopUp(HWND window) {
  return g_active != nullptr && window != g_active->dialog->GetSafeHwnd() && ClassName(window) == "#32770";
}

// Records every pop-up when it is first activated, and answers it.
LRESULT CALLBACK WatchActivation(int code, WPARAM wParam, LPARAM lParam) {
  HWND window = reinterpret_cast<HWND>(wParam);
  if (code == HCBT_ACTIVATE && IsPopUp(window)) {
    auto& answered = g_active->answered;
    if (std::find(answered.begin(), answered.end(), window) == answered.end()) {
      answered.push_back(window);
      g_active->run->popUps.push_back(Describe(window));
      Answer(window);
    }
  }
  return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

void CALLBACK RunScript(HWND, UINT, UINT_PTR timer, DWORD) {
  if (g_active == nullptr || g_active->dialog->GetSafeHwnd() == nullptr) return;
  ::KillTimer(nullptr, timer);
  (*g_active->script)(g_active->dialog->GetSafeHwnd());
}

void CALLBACK Watchdog(HWND, UINT, UINT_PTR, DWORD) {
  if (g_active == nullptr) return;
  g_active->run->timedOut = true;
  auto answerPopUp = [](HWND window, LPARAM) -> BOOL {
    if (IsPopUp(window)) Answer(window);
    return TRUE;
  };
  ::EnumThreadWindows(::GetCurrentThreadId(), answerPopUp, 0);
  if (g_active->dialog->GetSafeHwnd() != nullptr) g_active->dialog->EndDialog(-2);
}

}  // namespace

DialogRun RunDialog(CDialog& dialog, const std::function<void(HWND)>& script, UINT limitMs) {
  DialogRun run;
  ActiveRun active{&dialog, &script, &run, {}};
  g_active = &active;
  testApp.SetMainWnd(&dialog);
  HHOOK hook = ::SetWindowsHookExA(WH_CBT, &WatchActivation, nullptr, ::GetCurrentThreadId());
  const UINT_PTR scriptTimer = ::SetTimer(nullptr, 0, 10, &RunScript);
  const UINT_PTR watchdog = ::SetTimer(nullptr, 0, limitMs, &Watchdog);

  run.result = dialog.DoModal();

  ::KillTimer(nullptr, watchdog);
  ::KillTimer(nullptr, scriptTimer);
  ::UnhookWindowsHookEx(hook);
  testApp.SetMainWnd(nullptr);
  g_active = nullptr;
  return run;
}

size_t PopUpsSoFar() { return g_active != nullptr ? g_active->run->popUps.size() : 0; }

void ClickButton(HWND dialog, int id) { ::SendMessageA(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

LRESULT Notify(HWND dialog, int controlId, int code, NMHDR* header) {
  header->hwndFrom = ::GetDlgItem(dialog, controlId);
  header->idFrom = static_cast<UINT_PTR>(controlId);
  header->code = static_cast<UINT>(code);
  return ::SendMessageA(dialog, WM_NOTIFY, static_cast<WPARAM>(controlId),
                        reinterpret_cast<LPARAM>(header));
}

namespace {

void ReadSubtree(HWND tree, HTREEITEM item, int depth, std::vector<TreeRow>& rows) {
  for (; item != nullptr; item = TreeView_GetNextSibling(tree, item)) {
    char text[512] = "";
    TVITEMA info{};
    info.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_STATE | TVIF_HANDLE;
    info.hItem = item;
    info.stateMask = TVIS_EXPANDED;
    info.pszText = text;
    info.cchTextMax = sizeof text;
    ::SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&info));
    rows.push_back({depth, text, info.iImage, info.iSelectedImage,
                    (info.state & TVIS_EXPANDED) != 0, item});
    ReadSubtree(tree, TreeView_GetChild(tree, item), depth + 1, rows);
  }
}

}  // namespace

std::vector<TreeRow> ReadTree(HWND tree) {
  std::vector<TreeRow> rows;
  ReadSubtree(tree, TreeView_GetRoot(tree), 0, rows);
  return rows;
}

std::vector<std::vector<std::string>> ReadList(HWND list) {
  const int columns = Header_GetItemCount(ListView_GetHeader(list));
  std::vector<std::vector<std::string>> rows(ListView_GetItemCount(list));
  for (size_t row = 0; row < rows.size(); ++row) {
    for (int column = 0; column < columns; ++column) {
      char text[512] = "";
      LVITEMA cell{};
      cell.iSubItem = column;
      cell.pszText = text;
      cell.cchTextMax = sizeof text;
      ::SendMessageA(list, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
      rows[row].push_back(text);
    }
  }
  return rows;
}

std::vector<std::string> ReadColumns(HWND list) {
  static const char* const kJustification[] = {"left", "right", "centre", "?"};
  std::vector<std::string> columns(Header_GetItemCount(ListView_GetHeader(list)));
  for (size_t column = 0; column < columns.size(); ++column) {
    char heading[128] = "";
    LVCOLUMNA info{};
    info.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    info.pszText = heading;
    info.cchTextMax = sizeof heading;
    ::SendMessageA(list, LVM_GETCOLUMNA, column, reinterpret_cast<LPARAM>(&info));
    columns[column] = std::string(heading) + "|" +
                      kJustification[info.fmt & LVCFMT_JUSTIFYMASK] + "|" + std::to_string(info.cx);
  }
  return columns;
}

}  // namespace keldar::wintest
