// The About box: the application icon, the version, the maker's notice and contact line, and
// an OK button. Everything is in its template; the framework's OK and Cancel end it.
#pragma once

#include "app/framework.h"
#include "res/resource.h"

namespace keldar {

class CAboutDlg : public CDialog {
 public:
  enum { IDD = IDD_ABOUTBOX };

  CAboutDlg() : CDialog(IDD) {}
  ~CAboutDlg() override = default;

  const MessageMap* GetMessageMap() const override { return &messageMap; }

 protected:
  void DoDataExchange(CDataExchange* dx) override;

 private:
  static const MessageMap messageMap;
};

}  // namespace keldar
