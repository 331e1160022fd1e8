// A Platform that answers every call from a UsbModel, as a computer with that USB topology
// would: controllers open through their \\.\HCDn links (as the model numbers them) and their
// device interfaces, hubs as "\\.\" + their names, and the hub driver's replies are written byte for byte in the published record layouts. Texts leave the
// model as UTF-16LE (name replies) or in the model's ANSI code page (database properties,
// the computer name), and the faults the model carries are injected call by call.
//
// Errors it reports (GetLastError):
//   ERROR_FILE_NOT_FOUND       a path that names nothing, an open that the model makes fail,
//                              an absent computer name (its registry value is missing)
//   ERROR_INVALID_HANDLE       a handle or device set that is not open here
//   ERROR_INVALID_PARAMETER    a null argument, a control code the handle does not answer, a
//                              ConnectionIndex outside 1..bNumberOfPorts, an unknown code page
//   ERROR_INSUFFICIENT_BUFFER  an output buffer too small for a record or a name header, a
//                              property or converted text that does not fit
//   ERROR_GEN_FAILURE          a query that the model's faults make fail (the hub driver's
//                              answer when a device stops responding)
//   ERROR_NO_UNICODE_TRANSLATION  a text whose conversion the model makes fail
//   ERROR_INVALID_DATA         a database property the device lacks, or whose read fails
//                              (a device without windowsState has no service, no
//                              configuration flags, and no device node: CR_NO_SUCH_DEVNODE)
//   ERROR_INVALID_USER_BUFFER  an SP_DEVINFO_DATA whose cbSize is wrong
//   ERROR_NO_MORE_ITEMS        an enumeration index past the last device
//   ERROR_BUFFER_OVERFLOW(111) a computer-name buffer that is too small
//   ERROR_IO_PENDING           a request on a hub that never answers (HubFaults::neverAnswers),
//                              sent with an OVERLAPPED; such a request ends only when it is
//                              cancelled, with ERROR_OPERATION_ABORTED. Every other request
//                              answers at once and sets its event. The model keeps no clock:
//                              a wait on an event not set times out at once. A model without
//                              such a hub gives no event (CreateEventA answers null): requests
//                              are then sent without an OVERLAPPED, as before.
// Successful calls leave the last error as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "model/usb_model.h"
#include "platform/platform.h"

namespace keldar {

class ModelPlatform final : public Platform {
 public:
  // Answers from `model`, which is read, never changed. It must outlive the platform. Faults
  // and texts may be changed between calls; hubs and ports must not be added or removed while
  // a handle is open (handles point into the model).
  explicit ModelPlatform(const model::UsbModel& model);
  // Takes the model over (so a freshly loaded topology needs no owner of its own).
  explicit ModelPlatform(model::UsbModel&& model);
  ModelPlatform(const ModelPlatform&) = delete;
  ModelPlatform& operator=(const ModelPlatform&) = delete;

  // What has been asked so far; benchmarks and leak tests read these.
  struct Counters {
    std::size_t createFileCalls = 0;
    std::size_t failedOpens = 0;  // CreateFileA calls that returned INVALID_HANDLE_VALUE
    std::size_t closeHandleCalls = 0;  // of handles that CreateFileA gave
    std::size_t controllerIoctls = 0;  // DeviceIoControl on controller handles
    std::size_t rootHubNameQueries = 0;
    std::size_t hcdDriverKeyQueries = 0;
    std::size_t hubIoctls = 0;  // DeviceIoControl on hub handles, every code
    std::size_t nodeInformationQueries = 0;
    std::size_t connectionInformationQueries = 0;
    std::size_t connectionNameQueries = 0;
    std::size_t connectionDriverKeyQueries = 0;
    std::size_t deviceSetEnumerations = 0;  // SetupDiGetClassDevsA calls for present devices
    std::size_t interfaceSetEnumerations = 0;  // SetupDiGetClassDevsA calls for interfaces
    std::size_t enumDeviceInfoCalls = 0;
    std::size_t propertyReads = 0;  // SetupDiGetDeviceRegistryPropertyA calls
    std::size_t devNodeStatusCalls = 0;  // CM_Get_DevNode_Status calls
    // What a detection never does: a request on a handle that is not open here (a failed
    // open's INVALID_HANDLE_VALUE), and an open of "\\.\" alone, a path with no device name.
    std::size_t requestsOnUnopenedHandles = 0;
    std::size_t opensWithoutName = 0;
    std::size_t conversions = 0;    // WideCharToMultiByte calls
    std::size_t pendingRequests = 0;    // requests left pending (a hub that never answers)
    std::size_t cancelledRequests = 0;  // of those, the ones cancelled
    // Requests on a hub that never answers sent without an OVERLAPPED: on Windows they would
    // block for ever. Here they fail (ERROR_GEN_FAILURE).
    std::size_t requestsThatWouldBlock = 0;
  };
  const Counters& Counts() const { return counts_; }
  void ResetCounts() { counts_ = Counters(); }

  // Handles from CreateFileA and CreateEventA not yet closed, and device sets not yet destroyed.
  std::size_t OpenHandleCount() const { return handles_.size() + events_.size(); }
  std::size_t OpenDeviceSetCount() const { return deviceSets_.size() + interfaceSets_.size(); }

  const model::UsbModel& Model() const { return model_; }

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
  DWORD GetLastError() override { return lastError_; }
  BOOL GetComputerNameA(char* buffer, DWORD* size) override;

  // The model's environment: a remote session where it says so; the SMBIOS names as the BIOS
  // key's values, ERROR_FILE_NOT_FOUND where it has none.
  int GetSystemMetrics(int index) override;
  LONG RegGetValueA(HKEY key, const char* subKey, const char* value, DWORD flags, DWORD* type,
                    void* data, DWORD* size) override;

 private:
  // What an open handle stands for: controller n, or a hub of the model.
  struct OpenObject {
    const model::Controller* controller = nullptr;
    const model::Hub* hub = nullptr;
    bool overlapped = false;  // opened with FILE_FLAG_OVERLAPPED
  };
  // One entry of the device-installation database, as seen when its set was made.
  struct DatabaseEntry {
    std::optional<std::string> driverKey;
    std::optional<std::string> friendlyName;
    model::DatabaseFaults faults;
    std::optional<model::WindowsState> windowsState;
    std::string hardwareIds;  // as stored, terminators included; "" for none
  };

  BOOL Fail(DWORD error);
  std::uintptr_t NewHandleValue();
  const model::Hub* FindHub(const std::string& name);
  std::vector<DatabaseEntry> DatabaseEntries() const;

  BOOL AnswerController(const model::Controller& controller, DWORD code, void* out,
                        DWORD outSize, DWORD* bytesReturned);
  BOOL AnswerHub(const model::Hub& hub, DWORD code, const void* in, DWORD inSize, void* out,
                 DWORD outSize, DWORD* bytesReturned);
  BOOL AnswerNodeInformation(const model::Hub& hub, DWORD inSize, void* out, DWORD outSize,
                             DWORD* bytesReturned);
  BOOL AnswerConnectionInformation(const model::Port* port, std::uint32_t connectionIndex,
                                   void* out, DWORD outSize, DWORD* bytesReturned);
  // A name reply (USB_ROOT_HUB_NAME and its kin); connectionIndex is set for the two
  // connection replies, whose header carries it.
  BOOL AnswerName(const std::string& utf8Text, model::NameFault fault,
                  std::optional<std::uint32_t> connectionIndex, void* out, DWORD outSize,
                  DWORD* bytesReturned);

  std::unique_ptr<const model::UsbModel> owned_;
  const model::UsbModel& model_;
  Counters counts_;
  DWORD lastError_ = ERROR_SUCCESS;
  std::uintptr_t lastHandleValue_ = 0x100;
  std::map<std::uintptr_t, OpenObject> handles_;
  std::map<std::uintptr_t, bool> events_;  // each event: whether it is set
  // Requests still pending: their device handle, by their OVERLAPPED.
  std::map<OVERLAPPED*, std::uintptr_t> pending_;
  // Hubs by name, first in walk order. Made when a hub is opened while nothing is open (the
  // start of a walk), so texts changed between walks are seen, and a walk of n hubs costs
  // O(n) rather than a model search per open.
  std::unordered_map<std::string, const model::Hub*> hubsByName_;
  std::map<std::uintptr_t, std::vector<DatabaseEntry>> deviceSets_;
  // A property of a host-controller interface's entry: only its driver key.
  BOOL ControllerEntryProperty(std::size_t entries, SP_DEVINFO_DATA* element, DWORD property,
                               BYTE* buffer, DWORD bufferSize, DWORD* requiredSize);
  // Host-controller interface sets: how many interfaces each holds (one per controller).
  std::map<std::uintptr_t, std::size_t> interfaceSets_;
  // Texts whose replies carried a ConversionFails fault: converting them fails from then on.
  std::set<std::u16string> unconvertible_;
};

}  // namespace keldar
