#include "backends/win32/win32_platform.h"

namespace keldar {

HANDLE Win32Platform::CreateFileA(const char* path, DWORD desiredAccess, DWORD shareMode,
                                  void* securityAttributes, DWORD creationDisposition,
                                  DWORD flagsAndAttributes, HANDLE templateFile) {
  return ::CreateFileA(path, desiredAccess, shareMode,
                       static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes),
                       creationDisposition, flagsAndAttributes, templateFile);
}

BOOL Win32Platform::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                    DWORD inBufferSize, void* outBuffer, DWORD outBufferSize,
                                    DWORD* bytesReturned, void* overlapped) {
  return ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                           outBufferSize, bytesReturned, static_cast<LPOVERLAPPED>(overlapped));
}

BOOL Win32Platform::CloseHandle(HANDLE object) { return ::CloseHandle(object); }

HANDLE Win32Platform::CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                                   const char* name) {
  return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), manualReset,
                        initialState, name);
}

DWORD Win32Platform::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

BOOL Win32Platform::CancelIoEx(HANDLE device, OVERLAPPED* overlapped) {
  return ::CancelIoEx(device, overlapped);
}

BOOL Win32Platform::GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped,
                                        DWORD* bytesReturned, BOOL wait) {
  return ::GetOverlappedResult(device, overlapped, bytesReturned, wait);
}

int Win32Platform::WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* text, int length,
                                       char* out, int outSize, const char* defaultChar,
                                       BOOL* usedDefaultChar) {
  return ::WideCharToMultiByte(codePage, flags, text, length, out, outSize, defaultChar,
                               usedDefaultChar);
}

HDEVINFO Win32Platform::SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator,
                                             HWND parent, DWORD flags) {
  return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
}

BOOL Win32Platform::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* element) {
  return ::SetupDiEnumDeviceInfo(set, index, element);
}

BOOL Win32Platform::SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element,
                                                      DWORD property, DWORD* regDataType,
                                                      BYTE* buffer, DWORD bufferSize,
                                                      DWORD* requiredSize) {
  return ::SetupDiGetDeviceRegistryPropertyA(set, element, property, regDataType, buffer,
                                             bufferSize, requiredSize);
}

BOOL Win32Platform::SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceElement,
                                                const GUID* interfaceClass, DWORD index,
                                                SP_DEVICE_INTERFACE_DATA* interfaceData) {
  return ::SetupDiEnumDeviceInterfaces(set, deviceElement, interfaceClass, index, interfaceData);
}

BOOL Win32Platform::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set,
                                                     SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                     SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                     DWORD detailSize, DWORD* requiredSize,
                                                     SP_DEVINFO_DATA* deviceElement) {
  return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, requiredSize,
                                            deviceElement);
}

CONFIGRET Win32Platform::CM_Get_DevNode_Status(ULONG* status, ULONG* problemNumber,
                                               DEVINST devInst, ULONG flags) {
  return ::CM_Get_DevNode_Status(status, problemNumber, devInst, flags);
}

BOOL Win32Platform::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  return ::SetupDiDestroyDeviceInfoList(set);
}

DWORD Win32Platform::GetLastError() { return ::GetLastError(); }

BOOL Win32Platform::GetComputerNameA(char* buffer, DWORD* size) {
  return ::GetComputerNameA(buffer, size);
}

int Win32Platform::GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

LONG Win32Platform::RegGetValueA(HKEY key, const char* subKey, const char* value, DWORD flags,
                                 DWORD* type, void* data, DWORD* size) {
  return ::RegGetValueA(key, subKey, value, flags, type, data, size);
}

}  // namespace keldar
