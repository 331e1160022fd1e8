// Runs a real dialog modally and drives it from inside its own message loop: a script runs
// once the loop is up, every window that pops up meanwhile (message boxes, the About box) is
// recorded and answered with OK, and a watchdog ends everything if a run hangs.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "app/framework.h"

namespace keldar::wintest {

// A modal window that appeared while the script ran, as it looked when it was activated.
struct PopUp {
  std::string caption;
  std::string text;        // a message box's text; empty for other dialogs
  std::wstring wideCaption, wideText;  // the same, read wide: as the screen shows them
  HWND owner = nullptr;
  std::vector<int> buttons;  // ids of the visible push buttons, in z-order
  bool hasIcon = false;      // a visible icon is shown
};

struct DialogRun {
  INT_PTR result = 0;
  bool timedOut = false;
  std::vector<PopUp> popUps;
};

// Runs `dialog` modally. `script` gets the dialog's window once the modal loop runs; the
// dialog then stays up until the script (or what it triggers) ends it, or `limitMs` passes.
DialogRun RunDialog(CDialog& dialog, const std::function<void(HWND dialog)>& script,
                    UINT limitMs = 5000);

// How many pop-ups the running dialog has seen so far.
size_t PopUpsSoFar();

// Presses a push button of `dialog` as a click would.
void ClickButton(HWND dialog, int id);
// Sends the dialog a WM_NOTIFY from one of its controls.
LRESULT Notify(HWND dialog, int controlId, int code, NMHDR* header);

struct TreeRow {
  int depth;
  std::string text;
  int image;
  int selectedImage;
  bool expanded;
  HTREEITEM item;
};
// Every item of the tree, in depth-first pre-order.
std::vector<TreeRow> ReadTree(HWND tree);

// Every row of a report list, every column of it.
std::vector<std::vector<std::string>> ReadList(HWND list);

// Every column of a report list as "heading|left|width" (or "right", "centre").
std::vector<std::string> ReadColumns(HWND list);

}  // namespace keldar::wintest
