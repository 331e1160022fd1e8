// The real operating system: every member forwards to the Win32 call of the same name.
#pragma once

#include "platform/platform.h"

namespace keldar {

class Win32Platform final : public Platform {
 public:
  HANDLE CreateFileA(const char* path, DWORD desiredAccess, DWORD shareMode,
                     void* securityAttributes, DWORD creationDisposition,
                     DWORD flagsAndAttributes, HANDLE templateFile) override;
  BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                       void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                       void* overlapped) override;
  BOOL CloseHandle(HANDLE object) override;
  HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                      const char* name) override;
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override;
  BOOL CancelIoEx(HANDLE device, OVERLAPPED* overlapped) override;
  BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesReturned,
                           BOOL wait) override;
  int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* text, int length, char* out,
                          int outSize, const char* defaultChar, BOOL* usedDefaultChar) override;
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent,
                                DWORD flags) override;
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* element) override;
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property,
                                         DWORD* regDataType, BYTE* buffer, DWORD bufferSize,
                                         DWORD* requiredSize) override;
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* deviceElement,
                                   const GUID* interfaceClass, DWORD index,
                                   SP_DEVICE_INTERFACE_DATA* interfaceData) override;
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                        DWORD detailSize, DWORD* requiredSize,
                                        SP_DEVINFO_DATA* deviceElement) override;
  CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problemNumber, DEVINST devInst,
                                  ULONG flags) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
  DWORD GetLastError() override;
  BOOL GetComputerNameA(char* buffer, DWORD* size) override;
  int GetSystemMetrics(int index) override;
  LONG RegGetValueA(HKEY key, const char* subKey, const char* value, DWORD flags, DWORD* type,
                    void* data, DWORD* size) override;
};

}  // namespace keldar
