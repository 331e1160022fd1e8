// The model platform with two seams for what no topology file can describe: a hub driver or a
// device-installation database that strays from its documentation (an echoed port number that
// differs from the one asked, properties stored without their 0 byte, sizes that keep growing).
// A hook that returns a value answers the call in the model's place: ERROR_SUCCESS for a
// success, any other code for a failure with that error.
#pragma once

#include <functional>
#include <optional>
#include <utility>

#include "backends/model/model_platform.h"

namespace keldar::testing {

class HookedPlatform final : public Platform {
 public:
  explicit HookedPlatform(model::UsbModel usb) : model(std::move(usb)) {}

  ModelPlatform model;
  bool overlapped = false;
  bool keepsCancelledRequests = false;
  std::function<std::optional<DWORD>(HANDLE device, DWORD code, void* in, DWORD inSize, void* out,
                                     DWORD outSize)>
      onIoctl;
  // `device` is the element's index in the set.
  std::function<std::optional<DWORD>(DWORD device, DWORD property, BYTE* buffer, DWORD size,
                                     DWORD* required)>
      onPropertyRead;
  // Answers in the model's place when it returns a value; may leave the outputs untouched.
  std::function<std::optional<CONFIGRET>(ULONG* status, ULONG* problem, DEVINST devInst)>
      onDevNodeStatus;

  HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void* security, DWORD disposition,
                     DWORD flags, HANDLE templateFile) override {
    return Model(
        model.CreateFileA(path, access, share, security, disposition, flags, templateFile));
  }
  BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned, void* overlapped) override {
    if (onIoctl)
      if (auto answer = onIoctl(device, code, in, inSize, out, outSize)) return Hooked(*answer);
    return Model(
        model.DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped));
  }
  BOOL CloseHandle(HANDLE object) override { return Model(model.CloseHandle(object)); }
  // With `overlapped`, requests are the model's overlapped ones (a hook then answers at once);
  // without, the platform gives no event and requests block, so a hook may call the model
  // itself. `keepsCancelledRequests` is a driver that ignores cancellation.
  HANDLE CreateEventA(void* security, BOOL manual, BOOL initial, const char* name) override {
    return overlapped ? model.CreateEventA(security, manual, initial, name) : nullptr;
  }
  DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) override {
    return model.WaitForSingleObject(object, milliseconds);
  }
  BOOL CancelIoEx(HANDLE device, OVERLAPPED* request) override {
    return keepsCancelledRequests ? Hooked(ERROR_SUCCESS) : Model(model.CancelIoEx(device, request));
  }
  BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* request, DWORD* returned, BOOL wait) override {
    return Model(model.GetOverlappedResult(device, request, returned, wait));
  }
  int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* text, int length, char* out,
                          int outSize, const char* defaultChar, BOOL* usedDefault) override {
    return Model(model.WideCharToMultiByte(codePage, flags, text, length, out, outSize, defaultChar,
                                           usedDefault));
  }
  HDEVINFO SetupDiGetClassDevsA(const GUID* guid, const char* enumerator, HWND parent,
                                DWORD flags) override {
    return Model(model.SetupDiGetClassDevsA(guid, enumerator, parent, flags));
  }
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* element) override {
    return Model(model.SetupDiEnumDeviceInfo(set, index, element));
  }
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property,
                                         DWORD* type, BYTE* buffer, DWORD size,
                                         DWORD* required) override {
    if (onPropertyRead)
      if (auto answer = onPropertyRead(element->DevInst, property, buffer, size, required))
        return Hooked(*answer);
    return Model(model.SetupDiGetDeviceRegistryPropertyA(set, element, property, type, buffer, size,
                                                         required));
  }
  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* element, const GUID* kind,
                                   DWORD index, SP_DEVICE_INTERFACE_DATA* data) override {
    return Model(model.SetupDiEnumDeviceInterfaces(set, element, kind, index, data));
  }
  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD size,
                                        DWORD* required, SP_DEVINFO_DATA* element) override {
    return Model(model.SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, element));
  }
  CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST devInst,
                                  ULONG flags) override {
    if (onDevNodeStatus)
      if (auto answer = onDevNodeStatus(status, problem, devInst)) return *answer;
    return model.CM_Get_DevNode_Status(status, problem, devInst, flags);
  }
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    return Model(model.SetupDiDestroyDeviceInfoList(set));
  }
  DWORD GetLastError() override { return hooked_ ? hookError_ : model.GetLastError(); }
  BOOL GetComputerNameA(char* buffer, DWORD* size) override {
    return Model(model.GetComputerNameA(buffer, size));
  }

 private:
  template <class T>
  T Model(T result) {
    hooked_ = false;
    return result;
  }
  BOOL Hooked(DWORD error) {
    hooked_ = true;
    hookError_ = error;
    return error == ERROR_SUCCESS;
  }
  bool hooked_ = false;
  DWORD hookError_ = ERROR_SUCCESS;
};

}  // namespace keldar::testing
