// The few Win32 types and constants that the device access layer speaks in. Windows builds
// take them from the system headers; every other build gets portable equivalents with the
// same sizes, so the access layer's code reads the same on both.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>
#include <cfgmgr32.h>
#else
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using ULONG = std::uint32_t;
using BOOL = int;
using ULONG_PTR = std::uintptr_t;
using HANDLE = void*;
using HWND = void*;
using HDEVINFO = void*;
using COLORREF = DWORD;
// Windows' WCHAR is a 16-bit UTF-16 unit; wchar_t is 32 bits elsewhere.
using WCHAR = char16_t;
using CHAR = char;
using CONFIGRET = DWORD;
using DEVINST = DWORD;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

// Packed as the platform's set-up header packs them: 8 in 64-bit programs, 1 in 32-bit ones.
#if UINTPTR_MAX > 0xFFFFFFFFu
#pragma pack(push, 8)
#else
#pragma pack(push, 1)
#endif

struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DATA {
  DWORD cbSize;
  GUID InterfaceClassGuid;
  DWORD Flags;
  ULONG_PTR Reserved;
};

// The path runs on past the declared unit to the end of the caller's buffer.
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
  DWORD cbSize;
  CHAR DevicePath[1];
};

#pragma pack(pop)

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
constexpr DWORD OPEN_EXISTING = 3;

constexpr UINT CP_ACP = 0;

constexpr DWORD DIGCF_PRESENT = 0x00000002;
constexpr DWORD DIGCF_ALLCLASSES = 0x00000004;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x00000010;
constexpr DWORD SPDRP_DRIVER = 0x00000009;
constexpr DWORD SPDRP_FRIENDLYNAME = 0x0000000C;
constexpr DWORD SPDRP_HARDWAREID = 0x00000001;
constexpr DWORD SPDRP_SERVICE = 0x00000004;
constexpr DWORD SPDRP_CONFIGFLAGS = 0x0000000A;

constexpr CONFIGRET CR_SUCCESS = 0x00000000;
constexpr CONFIGRET CR_NO_SUCH_DEVNODE = 0x0000000D;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;
constexpr DWORD ERROR_INVALID_REG_PROPERTY = 0xE0000209;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_TIMEOUT = 1460;

constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// An asynchronous request's state, laid out as the platform's header lays it out.
struct OVERLAPPED {
  ULONG_PTR Internal;      // the request's status while it runs and once it has ended
  ULONG_PTR InternalHigh;  // the bytes it returned
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;  // set when the request ends
};

constexpr UINT MB_OK = 0x00000000;
#endif

// USB hub and host-controller control codes (buffered transfer, FILE_DEVICE_USB). The first
// two share a value: a controller handle answers with its root hub's name, a hub handle with
// its node information.
// Named as the platform's USB headers name them; those headers are never included.
namespace keldar {
constexpr DWORD IOCTL_USB_GET_ROOT_HUB_NAME = 0x220408;
constexpr DWORD IOCTL_USB_GET_NODE_INFORMATION = 0x220408;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_INFORMATION = 0x22040C;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_NAME = 0x220414;
constexpr DWORD IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME = 0x220420;
constexpr DWORD IOCTL_GET_HCD_DRIVERKEY_NAME = 0x220424;

// GUID_DEVINTERFACE_USB_HOST_CONTROLLER {3abf6f2d-71c4-462a-8a92-1e6861e6af27}: the device
// interface every USB host controller registers.
inline constexpr GUID kUsbHostControllerInterface = {
    0x3abf6f2d, 0x71c4, 0x462a, {0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6, 0xaf, 0x27}};

// The set-up records whose size differs between 32-bit and 64-bit programs: the platform
// checks cbSize against exactly these, so each build must hand over its own width's size. In the
// Windows builds these are the set-up header's own types; elsewhere the equivalents above.
#if defined(_WIN64) || (!defined(_WIN32) && UINTPTR_MAX > 0xFFFFFFFFu)
static_assert(sizeof(ULONG_PTR) == 8 && sizeof(HANDLE) == 8 && sizeof(HDEVINFO) == 8);
static_assert(sizeof(SP_DEVINFO_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
#else
static_assert(sizeof(ULONG_PTR) == 4 && sizeof(HANDLE) == 4 && sizeof(HDEVINFO) == 4);
static_assert(sizeof(SP_DEVINFO_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
#endif
// The fields before the pointer-sized one sit at the same places in both.
static_assert(offsetof(SP_DEVINFO_DATA, ClassGuid) == 4);
static_assert(offsetof(SP_DEVINFO_DATA, DevInst) == 20);
static_assert(offsetof(SP_DEVINFO_DATA, Reserved) == 24);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, InterfaceClassGuid) == 4);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Reserved) == 24);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4);
static_assert(sizeof(GUID) == 16 && sizeof(DWORD) == 4 && sizeof(WCHAR) == 2);
}  // namespace keldar
