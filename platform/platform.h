// The OS seam: exactly the operating-system calls that the device access layer makes, under
// their Win32 names and with their Win32 meanings. backends/win32 forwards them to Windows;
// backends/model answers them from an in-memory USB model (a topology file or a Linux sysfs
// scan). Nothing above this seam knows which one it talks to.
//
// Every member is called on the thread that runs the detection, one call at a time. None of
// them may throw.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/environment_types.h"
#include "platform/win32_types.h"

namespace keldar {

// Controllers and hubs are opened by "\\.\" and their device name: "\\.\HCD0", or the name
// a name query returned for a hub.
inline constexpr std::string_view kDevicePathPrefix = "\\\\.\\";

// A handle as a number, for platforms that keep what their handles stand for in a table.
inline std::uintptr_t HandleValue(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

class Platform {
 public:
  virtual ~Platform() = default;

  // Opens a device by path ("\\.\HCD0", "\\.\" + a hub name). The access layer always passes
  // GENERIC_WRITE, FILE_SHARE_WRITE, no security attributes, OPEN_EXISTING, no template, and
  // flags FILE_FLAG_OVERLAPPED when CreateEventA gave it an event (0 otherwise). Returns an
  // open handle, or INVALID_HANDLE_VALUE with the reason in GetLastError. Does not touch the
  // bus.
  virtual HANDLE CreateFileA(const char* path, DWORD desiredAccess, DWORD shareMode,
                             void* securityAttributes, DWORD creationDisposition,
                             DWORD flagsAndAttributes, HANDLE templateFile) = 0;

  // Sends one USB hub or host-controller control code to an open handle. The input and output
  // buffers may be the same memory. Returns nonzero with the output filled in the platform's
  // published record layout, zero on failure (GetLastError tells why). The returned byte
  // count may be written but callers never rely on it. On a handle opened without
  // FILE_FLAG_OVERLAPPED (overlapped null) it blocks while the hub driver answers. On one
  // opened with it, `overlapped` is an OVERLAPPED whose hEvent came from CreateEventA: a
  // request answered at once returns as above; one still running returns zero with
  // ERROR_IO_PENDING, and the buffers and the OVERLAPPED then belong to the request until
  // it ends (its event is set; GetOverlappedResult tells how it ended).
  virtual BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                               DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                               DWORD* bytesReturned, void* overlapped) = 0;

  // ---- Requests bounded in time ----
  // A hub driver that never answers must not hold the detection. A platform whose requests
  // always answer at once need not override these: its CreateEventA gives no event, and the
  // access layer then opens and asks without FILE_FLAG_OVERLAPPED.

  // A manual-reset event, not set, without name or security attributes (the access layer
  // passes nullptr, TRUE, FALSE, nullptr); null on failure. Closed with CloseHandle.
  virtual HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                              const char* name) {
    (void)securityAttributes, (void)manualReset, (void)initialState, (void)name;
    return nullptr;
  }
  // Waits until `object` (an event) is set or `milliseconds` pass: WAIT_OBJECT_0, WAIT_TIMEOUT,
  // or WAIT_FAILED.
  virtual DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    (void)object, (void)milliseconds;
    return WAIT_FAILED;
  }
  // Asks the driver to end the request that `overlapped` stands for. Nonzero when the request
  // was found (it then ends soon, with ERROR_OPERATION_ABORTED unless it was answering
  // meanwhile; a driver that ignores cancellation keeps it); zero with ERROR_NOT_FOUND when it
  // had ended already.
  virtual BOOL CancelIoEx(HANDLE device, OVERLAPPED* overlapped) {
    (void)device, (void)overlapped;
    return FALSE;
  }
  // How the request ended: nonzero with *bytesReturned for an answer, zero with its error
  // (ERROR_OPERATION_ABORTED once cancelled); zero with ERROR_IO_INCOMPLETE while it runs. The
  // access layer never passes wait TRUE.
  virtual BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesReturned,
                                   BOOL wait) {
    (void)device, (void)overlapped, (void)bytesReturned, (void)wait;
    return FALSE;
  }

  // Closes a handle that CreateFileA returned. Nonzero on success.
  virtual BOOL CloseHandle(HANDLE object) = 0;

  // Converts UTF-16 to the ANSI code page (codePage CP_ACP). With length -1 the text runs to
  // its 0 unit, which is converted too; with a positive length exactly that many units are
  // converted and no terminator is added. With outSize 0 only the required size is returned.
  // A character the code page lacks becomes the likeness the code page's best-fit table gives
  // it (Ł becomes L in 1252), else the code page's default character. Returns the number of bytes
  // written (or required), 0 on failure.
  virtual int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* text, int length,
                                  char* out, int outSize, const char* defaultChar,
                                  BOOL* usedDefaultChar) = 0;

  // Opens a set of the device-installation database. The access layer asks for two: the
  // present devices (no class, DIGCF_PRESENT | DIGCF_ALLCLASSES), and the present host
  // controllers' device interfaces (&kUsbHostControllerInterface,
  // DIGCF_PRESENT | DIGCF_DEVICEINTERFACE); never an enumerator or a window. Returns
  // INVALID_HANDLE_VALUE on failure.
  virtual HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                        HWND parent, DWORD flags) = 0;

  // Fills element `index` (from 0) of the set. The caller sets element->cbSize to
  // sizeof(SP_DEVINFO_DATA) first. Returns zero (GetLastError ERROR_NO_MORE_ITEMS) past the
  // last device.
  virtual BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* element) = 0;

  // Reads a property of one element: a text (SPDRP_DRIVER, SPDRP_FRIENDLYNAME, SPDRP_SERVICE)
  // as ANSI with its terminator, a list of texts (SPDRP_HARDWAREID) each with its terminator
  // and one more after the last, or a 32-bit number (SPDRP_CONFIGFLAGS). The bytes are the
  // database's as stored: a terminator may be missing. Returns nonzero when it fitted in bufferSize bytes; zero with
  // GetLastError ERROR_INSUFFICIENT_BUFFER and *requiredSize set when it did not; zero with
  // another error when the device lacks the property. *regDataType may be left untouched.
  virtual BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element,
                                                 DWORD property, DWORD* regDataType,
                                                 BYTE* buffer, DWORD bufferSize,
                                                 DWORD* requiredSize) = 0;

  // Fills element `index` (from 0) of the device interfaces of class `interfaceClass` in a
  // set opened with DIGCF_DEVICEINTERFACE; the access layer passes no device element and sets
  // interfaceData->cbSize to sizeof(SP_DEVICE_INTERFACE_DATA) first. Returns zero
  // (GetLastError ERROR_NO_MORE_ITEMS) past the last interface.
  virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceElement,
                                           const GUID* interfaceClass, DWORD index,
                                           SP_DEVICE_INTERFACE_DATA* interfaceData) = 0;

  // The path that opens one device interface (CreateFileA), written as a terminated ANSI text
  // into detail->DevicePath. With no detail and size 0 it only reports *requiredSize and fails
  // with ERROR_INSUFFICIENT_BUFFER; with a detail, its cbSize must be
  // sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) (8 in a 64-bit program, 5 in a 32-bit one) and
  // detailSize the bytes the caller owns. The access layer passes no device element.
  virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                DWORD detailSize, DWORD* requiredSize,
                                                SP_DEVINFO_DATA* deviceElement) = 0;

  // The state of one device node (cfgmgr32): its DN_ status bits into *status and, when
  // DN_HAS_PROBLEM is among them, its CM_PROB_ problem number into *problemNumber. devInst is
  // the DevInst of an element that SetupDiEnumDeviceInfo filled; flags 0. Returns CR_SUCCESS
  // or another CR_ code. A success need not write either output (wine's leaves both as they
  // were): callers set them first and take "neither DN_STARTED nor DN_HAS_PROBLEM" for not
  // known. Does not touch the bus.
  virtual CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problemNumber, DEVINST devInst,
                                          ULONG flags) = 0;

  // Releases a set from SetupDiGetClassDevsA.
  virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;

  // The error code of the last failed call on this platform.
  virtual DWORD GetLastError() = 0;

  // Copies the computer's NetBIOS name with its terminator into buffer; *size is the buffer's
  // size on entry and the name's length (without terminator) on success. Zero on failure.
  virtual BOOL GetComputerNameA(char* buffer, DWORD* size) = 0;

  // ---- Where the program runs: why keys may be missing from an otherwise sound detection ----
  // A platform that does not override these answers as a local session on a machine without
  // the BIOS key, which the report takes for "not known".

  // The detection asks only SM_REMOTESESSION: nonzero when the program runs in a remote
  // desktop session, whose USB devices are those of the remote computer (a key on the PC the
  // user sits at is visible only when the session redirects it). Cannot fail; 0 for an index
  // the platform does not know.
  virtual int GetSystemMetrics(int index) {
    (void)index;
    return 0;
  }

  // Reads one text value under HKEY_LOCAL_MACHINE. The detection passes kBiosKey, one of
  // kSystemManufacturerValue and kSystemProductNameValue, RRF_RT_REG_SZ, and a buffer of
  // *size bytes (kSmbiosTextBufferSize) that it owns. Returns ERROR_SUCCESS with the ANSI text
  // and its terminator in data and *size the bytes written (*type REG_SZ when type is given);
  // ERROR_MORE_DATA with *size the bytes needed; ERROR_FILE_NOT_FOUND when the key or the
  // value is missing. Returns its error rather than setting the last error, as the registry
  // calls do. Does not touch the bus.
  virtual LONG RegGetValueA(HKEY key, const char* subKey, const char* value, DWORD flags,
                            DWORD* type, void* data, DWORD* size) {
    (void)key, (void)subKey, (void)value, (void)flags, (void)type, (void)data, (void)size;
    return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  }
};

}  // namespace keldar
