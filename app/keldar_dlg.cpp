#include "app/keldar_dlg.h"

#include <shellapi.h>

#include <string>

#include "app/about_dlg.h"
#include "ident/branding.h"
#include "text/text_codec.h"

namespace keldar {

const MessageMapEntry CKeldarDlg::messageEntries[] = {
    OnMessage<WM_SYSCOMMAND, &CKeldarDlg::OnSysCommand>(),
    OnMessage<WM_PAINT, &CKeldarDlg::OnPaint>(),
    OnMessage<WM_QUERYDRAGICON, &CKeldarDlg::OnQueryDragIcon>(),
    OnCommand<&CKeldarDlg::OnExit>(BN_CLICKED, IDC_EXIT),
    OnNotify<&CKeldarDlg::OnTreeSelChanged>(TVN_SELCHANGEDA, IDC_DEVICE_TREE),
    OnCommand<&CKeldarDlg::OnDetect>(BN_CLICKED, IDC_DETECT),
    OnNotify<&CKeldarDlg::OnDeviceListDblClk>(NM_DBLCLK, IDC_DEVICE_LIST),
    OnMessage<WM_LBUTTONDBLCLK, &CKeldarDlg::OnLButtonDblClk>(),
    OnMessage<WM_LBUTTONDOWN, &CKeldarDlg::OnLButtonDown>(),
};
const MessageMap CKeldarDlg::messageMap{&CDialog::messageMap, messageEntries};

namespace {

HICON LoadResourceIcon(int id) {
  return ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(id));
}

void ShowAsReport(CListCtrl& list) {
  list.ModifyStyle(LVS_TYPEMASK, LVS_REPORT, SWP_NOSIZE | SWP_NOMOVE);
  list.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
  list.SetTextColor(kTreeTextColour);
  list.SetBkColor(kTreeBkColour);
}

}  // namespace

POINT MinimizedIconPosition(const RECT& client, int iconWidth, int iconHeight) {
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;
  return POINT{(width - iconWidth + 1) / 2, (height - iconHeight + 1) / 2};
}

CKeldarDlg::CKeldarDlg(Platform& platform, CWnd* parent)
    : CDialog(IDD, parent),
      // 16 x 16 at the default colour depth, without a mask.
      treeImages_(16, 16, ILC_COLOR, 16, 16),
      icon_(LoadResourceIcon(IDR_MAINFRAME)),
      inspector_(platform, deviceTree_, deviceList_, detailList_, *this, treeImages_),
      shellExecute_(&::ShellExecuteA) {
  // Image indices 0 to 3: computer, hub, USB pair, USB. A failed load or append goes unnoticed,
  // and the icons after it move down one index.
  for (int id : {IDI_COMPUTER, IDI_HUB, IDI_USB_PAIR, IDI_USB}) {
    treeImages_.Add(LoadResourceIcon(id));
  }
}

int CKeldarDlg::ShowNotice(const char* text, const char* caption, unsigned type) {
  // The notices are GBK whatever the system's ANSI code page: converted from that, not from
  // the system's, they read the same on Traditional Chinese, Western or UTF-8 Windows.
  const auto wide = [](const char* gbk) {
    const std::u16string utf16 = AnsiToUtf16(gbk, kProgramCodePage);
    return std::wstring(utf16.begin(), utf16.end());
  };
  return MessageBox(text != nullptr ? wide(text).c_str() : nullptr,
                    caption != nullptr ? wide(caption).c_str() : nullptr, type);
}

void CKeldarDlg::DoDataExchange(CDataExchange* dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_DEVICE_LIST, deviceList_);
  DDX_Control(dx, IDC_DETAIL_LIST, detailList_);
  DDX_Control(dx, IDC_DEVICE_TREE, deviceTree_);
}

BOOL CKeldarDlg::OnInitDialog() {
  CDialog::OnInitDialog();

  if (HMENU systemMenu = GetSystemMenu(FALSE)) {
    // The string table is UTF-16: taken wide, it is not narrowed to the system's code page.
    wchar_t aboutText[256];
    if (::LoadStringW(AfxGetResourceHandle(), IDS_ABOUTBOX, aboutText, 256) > 0) {
      CMenu menu(systemMenu);
      menu.AppendMenu(MF_SEPARATOR);
      menu.AppendMenu(MF_STRING, IDM_ABOUTBOX, aboutText);
    }
  }

  SetIcon(icon_, TRUE);
  SetIcon(icon_, FALSE);

  ShowAsReport(deviceList_);
  deviceList_.InsertColumn(0, "Co. Info", LVCFMT_LEFT, 135);
  deviceList_.InsertColumn(1, "Device Name", LVCFMT_LEFT, 155);
  deviceList_.InsertColumn(2, "Vender ID", LVCFMT_CENTER, 120);
  deviceList_.InsertColumn(3, "Product ID", LVCFMT_CENTER, 120);

  ShowAsReport(detailList_);
  detailList_.InsertColumn(0, "", LVCFMT_LEFT, 140);
  detailList_.InsertColumn(1, "", LVCFMT_LEFT, 390);

  // The framework puts the focus on the first tab stop, the tree.
  return TRUE;
}

void CKeldarDlg::OnSysCommand(UINT id, LPARAM lParam) {
  if ((id & 0xFFF0) == IDM_ABOUTBOX) {
    CAboutDlg about;
    about.DoModal();
  } else {
    CDialog::OnSysCommand(id, lParam);
  }
}

void CKeldarDlg::OnPaint() {
  if (!IsIconic()) {
    CDialog::OnPaint();
    return;
  }
  CPaintDC dc(*this);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
  RECT client;
  GetClientRect(&client);
  const POINT at =
      MinimizedIconPosition(client, ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON));
  dc.DrawIcon(at.x, at.y, icon_);
}

HCURSOR CKeldarDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(icon_); }

void CKeldarDlg::OnExit() { ::PostQuitMessage(18); }

void CKeldarDlg::OnTreeSelChanged(NMHDR* /*header*/, LRESULT* result) {
  inspector_.OnTreeSelChanged();
  *result = 0;
}

void CKeldarDlg::OnDetect() { inspector_.Detect(); }

void CKeldarDlg::OnDeviceListDblClk(NMHDR* header, LRESULT* result) {
  inspector_.OnDeviceListDblClk(reinterpret_cast<const NMITEMACTIVATE*>(header)->iItem);
  *result = 0;
}

void CKeldarDlg::OnLButtonDblClk(UINT flags, POINT point) {
  OpenMakerPage();
  CDialog::OnLButtonDblClk(flags, point);
}

void CKeldarDlg::OnLButtonDown(UINT flags, POINT point) {
  OpenMakerPage();
  CDialog::OnLButtonDown(flags, point);
}

void CKeldarDlg::OpenMakerPage() {
  shellExecute_(nullptr, "open", KELDAR_WEB_ADDRESS, nullptr, nullptr, SW_SHOW);
}

}  // namespace keldar
