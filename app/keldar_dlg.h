// The main dialog: the device tree, the device list, the detail list and the two buttons. It
// owns the controls, the tree's images and the window icon, and forwards the detection and
// the detail handlers to the DeviceInspector it holds.
#pragma once

#include <windows.h>

#include "app/controls.h"
#include "app/framework.h"
#include "detect/device_inspector.h"
#include "platform/platform.h"
#include "res/resource.h"
#include "ui/views.h"

namespace keldar {

// Where a minimised window draws its icon: centred in the client area, rounding up, with
// signed division that truncates toward zero.
POINT MinimizedIconPosition(const RECT& client, int iconWidth, int iconHeight);

class CKeldarDlg : public CDialog, public Notifier {
 public:
  enum { IDD = IDD_KELDAR_DIALOG };

  // `platform` answers the USB queries of every detection; it must outlive the dialog.
  explicit CKeldarDlg(Platform& platform, CWnd* parent = nullptr);
  ~CKeldarDlg() override = default;

  // The notices of a detection, in message boxes this dialog owns.
  int ShowNotice(const char* text, const char* caption, unsigned type) override;

  void BuildDeviceTree() { inspector_.BuildDeviceTree(); }
  void IdentifyKeys() { inspector_.IdentifyKeys(); }
  void ClearDetailList() { inspector_.ClearDetailList(); }

  // How the maker's web page is opened; the system shell unless a test substitutes it.
  using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND owner, LPCSTR verb, LPCSTR file,
                                                  LPCSTR parameters, LPCSTR directory,
                                                  INT showCommand);
  void SetShellExecute(ShellExecuteFunction shellExecute) { shellExecute_ = shellExecute; }

  const MessageMap* GetMessageMap() const override { return &messageMap; }

 protected:
  void DoDataExchange(CDataExchange* dx) override;
  BOOL OnInitDialog() override;

  void OnSysCommand(UINT id, LPARAM lParam);
  void OnPaint();
  HCURSOR OnQueryDragIcon();
  void OnExit();
  void OnTreeSelChanged(NMHDR* header, LRESULT* result);
  void OnDetect();
  void OnDeviceListDblClk(NMHDR* header, LRESULT* result);
  void OnLButtonDblClk(UINT flags, POINT point);
  void OnLButtonDown(UINT flags, POINT point);

  CListCtrl deviceList_;
  CListCtrl detailList_;
  CTreeCtrl deviceTree_;
  CImageList treeImages_;
  HICON icon_;
  // The node table, the topology work pointers and the detection's records.
  DeviceInspector inspector_;

 private:
  static const MessageMap messageMap;
  static const MessageMapEntry messageEntries[];

  void OpenMakerPage();

  ShellExecuteFunction shellExecute_;
};

}  // namespace keldar
