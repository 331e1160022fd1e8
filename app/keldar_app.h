// The application object: runs the main dialog modally as the program's only loop.
#pragma once

#include "app/framework.h"

namespace keldar {

class CKeldarApp : public CWinApp {
 public:
  CKeldarApp() = default;
  ~CKeldarApp() override = default;

  // Runs the main dialog on the real USB stack; always false, so the process ends with it.
  BOOL InitInstance() override;
  const MessageMap* GetMessageMap() const override { return &messageMap; }

 private:
  static const MessageMap messageMap;
  static const MessageMapEntry messageEntries[];
};

extern CKeldarApp theApp;

}  // namespace keldar
