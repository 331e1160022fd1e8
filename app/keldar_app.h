// The application object: runs the main dialog modally as the program's only loop.
#pragma once

#include "app/framework.h"

namespace keldar {

class CKeldarApp : public CWinApp {
 public:
  CKeldarApp() = default;
  ~CKeldarApp() override = default;

  // Runs the main dialog on the real USB stack; the process ends with it.
  void InitInstance() override;
};

extern CKeldarApp theApp;

}  // namespace keldar
