// The Win32 types and constants of the calls that tell where the program runs (a remote desktop
// session, the machine's SMBIOS names): Windows builds take them from the system headers, every
// other build gets equivalents with the same values.
#pragma once

#include <cstdint>

#include "platform/win32_types.h"

#ifndef _WIN32
using LONG = std::int32_t;
using HKEY = void*;

// A predefined key is a handle value with the top bit set, sign-extended to the pointer width.
#define HKEY_LOCAL_MACHINE \
  (reinterpret_cast<HKEY>(static_cast<std::intptr_t>(static_cast<std::int32_t>(0x80000002u))))

constexpr int SM_REMOTESESSION = 0x1000;
constexpr DWORD RRF_RT_REG_SZ = 0x00000002;
constexpr DWORD REG_SZ = 1;
constexpr DWORD ERROR_MORE_DATA = 234;
#endif

namespace keldar {

// Where Windows keeps the SMBIOS system names it read at boot, under HKEY_LOCAL_MACHINE.
inline constexpr const char* kBiosKey = "HARDWARE\\DESCRIPTION\\System\\BIOS";
inline constexpr const char* kSystemManufacturerValue = "SystemManufacturer";
inline constexpr const char* kSystemProductNameValue = "SystemProductName";
// The bytes the detection owns for one of those names, terminator included. SMBIOS strings of
// real and virtual machines are a few dozen characters; a longer one is not read at all.
inline constexpr DWORD kSmbiosTextBufferSize = 256;

}  // namespace keldar
