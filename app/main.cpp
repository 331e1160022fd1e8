// keldar.exe's entry point. The program takes no command line.
#include <windows.h>

#include "app/framework.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int /*show*/) {
  return keldar::AfxWinMain();
}
