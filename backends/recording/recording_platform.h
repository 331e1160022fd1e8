// A Platform that forwards every call to another one and builds a UsbModel from the replies it
// sees, so that the USB topology of a live machine can be exported as a topology file and
// replayed anywhere. It changes nothing on the way: the caller gets exactly the inner
// platform's results, buffers and errors.
//
// What it records, from the calls a detection makes:
//   CreateFileA        which handles are controllers (\\.\HCDn) and which are hubs, by name;
//                      a hub whose open fails (HubFaults::openFails)
//   DeviceIoControl    controller driver keys and root hub names; hub node information (or
//                      its failure); each port's connection information (or its failure), its
//                      device's driver key and an attached hub's name. A name counts only
//                      from a complete reply (ActualLength within the buffer the caller gave).
//   SetupDi...         the friendly name found for each driver key, whether the device had
//                      none, and a friendly-name read that fails after a re-allocation (the
//                      name it could not read is stood in for by as many "?" as it has bytes,
//                      so that a replay fails the same way); a device set that cannot be made
//   GetComputerNameA   the computer name
//   SPDRP_SERVICE, SPDRP_CONFIGFLAGS, CM_Get_DevNode_Status
//                      a device's Windows state (windowsState), for the device the walk
//                      reached by its driver key, or for one without a driver key by the
//                      IDs its hardware ID (SPDRP_HARDWAREID) names; recorded once any of the
//                      three was asked of it
//   GetOverlappedResult  the reply of a request that pended, as DeviceIoControl's would be;
//                      a hub request still unanswered or cancelled makes the hub one that
//                      never answers (HubFaults::neverAnswers)
//   GetSystemMetrics, RegGetValueA  the environment: the remote session, and each SMBIOS name
//                      from a complete reply (a name that did not fit is not recorded)
//
// What a recording cannot see, so that a recorded model differs from the one a platform
// answered from:
//   - ports with nothing attached: they are left unlisted (which means empty); a status of 1
//     with a device is left implicit;
//   - controllers after the first that fails to open (the search stops there);
//   - name faults: a name query that fails or replies malformed records no name (a driver
//     key is then absent, a root hub missing); an attached hub's name query is recorded as
//     replying too short for a name (shortLength), whichever way it failed;
//   - database entries that no controller or device refers to, and the friendly names of
//     devices whose lookup was never made (a driver key that the hub driver reports but that
//     no entry of a database walked to its end carries is recorded as an entry whose key
//     cannot be read, driverKeyReadFails, so that the replay finds no entry for it either); a driver key carried by two devices gets the name
//     of the first, for both; a friendly-name read that fails without first asking for a
//     larger buffer reads as "no friendly name";
//   - the ports of hubs the walk does not descend into;
//   - a service read that gives up (its size keeps growing) records no state, so the key's
//     state replays as "not given" rather than "could not be read".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "model/usb_model.h"
#include "platform/platform.h"
#include "platform/records.h"

namespace keldar {

class RecordingPlatform final : public Platform {
 public:
  // `ansiCodePage` is the inner platform's ANSI code page (GetACP on Windows, the model's on
  // a ModelPlatform): the texts it hands out in ANSI are decoded with it.
  RecordingPlatform(Platform& inner, unsigned ansiCodePage);
  RecordingPlatform(const RecordingPlatform&) = delete;
  RecordingPlatform& operator=(const RecordingPlatform&) = delete;

  // The topology seen so far. May be called at any time, as often as wanted.
  model::UsbModel RecordedModel() const;

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
  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element,
                                         DWORD property, DWORD* regDataType, BYTE* buffer,
                                         DWORD bufferSize, DWORD* requiredSize) override;
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

 private:
  // A name as a reply carried it: UTF-8 for the model, and the ANSI bytes that the access
  // layer makes of it, by which paths and database keys refer to it.
  struct Name {
    std::string utf8;
    std::string ansi;
  };
  struct ControllerRecord {
    std::optional<Name> driverKey;
    std::optional<Name> rootHubName;
  };
  struct PortRecord {
    std::optional<USB_NODE_CONNECTION_INFORMATION> connectionInfo;
    bool connectionInfoFailed = false;
    // Outer: whether a complete driver-key reply was seen; inner: absent for an empty key.
    std::optional<std::optional<Name>> driverKey;
    std::optional<Name> hubName;
  };
  struct HubRecord {
    bool opened = false;
    bool openFailed = false;
    std::optional<USB_NODE_INFORMATION> nodeInfo;
    bool nodeInfoFailed = false;
    bool unanswered = false;  // a request went unanswered until cancelled, or for good
    std::map<std::uint32_t, PortRecord> ports;
  };
  // What the device database answered for one driver key (ANSI): the first lookup decides.
  struct DatabaseRecord {
    std::optional<std::string> friendlyName;  // UTF-8; absent: the device has none
    bool friendlyNameReadFails = false;
  };
  // What is known of one element of an open device set during a lookup.
  struct ElementRecord {
    std::optional<std::string> driverKey;  // ANSI
    // The size the last friendly-name read asked for when the buffer was too small; 0 if none.
    DWORD friendlyNameRequiredSize = 0;
    std::optional<std::uint32_t> usbIds;  // VID << 16 | PID, from its hardware ID
    std::optional<model::WindowsState> state;  // once a fact of it was asked
  };
  // What an open handle stands for: a controller, or a hub by its ANSI name.
  struct OpenObject {
    ControllerRecord* controller = nullptr;
    std::string hub;
  };

  // A request that pended: what DeviceIoControl was asked, recorded once it ends.
  struct PendingRequest {
    std::uintptr_t device;
    DWORD code;
    std::optional<std::uint32_t> connectionIndex;
    void* out;
    DWORD outSize;
  };
  void RecordReply(const OpenObject& object, DWORD code,
                   std::optional<std::uint32_t> connectionIndex, BOOL succeeded, const void* out,
                   DWORD outSize);

  std::optional<Name> NameFromReply(const void* reply, DWORD replySize, std::uint32_t header) const;
  void RecordController(ControllerRecord& controller, DWORD code, const void* reply,
                        DWORD replySize);
  model::Controller BuildController(const ControllerRecord& record) const;
  void RecordHub(const std::string& hub, DWORD code, std::optional<std::uint32_t> connectionIndex,
                 BOOL succeeded, const void* reply, DWORD replySize);
  void RecordProperty(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD property, BOOL succeeded,
                      const BYTE* buffer, DWORD bufferSize, const DWORD* requiredSize);
  std::unique_ptr<model::Hub> BuildHub(const Name& name, std::set<std::string>& path) const;
  ElementRecord* FindElement(HDEVINFO set, const SP_DEVINFO_DATA* element);
  // Where an element's state is kept for the model: by its driver key, or by its IDs.
  void KeepState(const ElementRecord& record);
  void ApplyDatabase(const std::optional<Name>& driverKey,
                     std::optional<std::string>& friendlyName, model::DatabaseFaults& faults) const;

  Platform& inner_;
  unsigned ansiCodePage_;
  std::map<std::uintptr_t, OpenObject> handles_;
  std::map<const OVERLAPPED*, PendingRequest> pending_;
  std::map<std::size_t, ControllerRecord> controllers_;  // by HCD link number
  // Controllers opened through their device interface, by path, in the order first opened.
  std::map<std::string, ControllerRecord> interfaceControllers_;
  std::vector<std::string> interfaceOrder_;
  std::map<std::string, HubRecord> hubs_;
  std::map<std::string, DatabaseRecord> database_;
  bool databaseWalkedToEnd_ = false;  // some enumeration of a device set reached its end
  std::map<std::pair<std::uintptr_t, DWORD>, ElementRecord> elements_;  // (set, index)
  std::map<const SP_DEVINFO_DATA*, DWORD> elementIndex_;  // the index last enumerated into it
  // The index of each device node enumerated in a set: the state is read later, through a
  // copy of the element.
  std::map<std::pair<std::uintptr_t, DWORD>, DWORD> devInstIndex_;  // (set, DevInst)
  std::map<std::string, model::WindowsState> states_;  // by driver key (ANSI)
  std::map<std::uint32_t, model::WindowsState> keylessStates_;  // by VID << 16 | PID
  std::optional<std::string> computerName_;
  model::Environment environment_;
  bool deviceSetFailed_ = false;
};

}  // namespace keldar
