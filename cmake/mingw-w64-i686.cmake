# Cross build for 32-bit Windows. No emulator: this machine runs no 32-bit Windows process
# (wine32 would break the 64-bit wine), so this build makes only the shipped programs, and their
# headers are checked where they are built.
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
