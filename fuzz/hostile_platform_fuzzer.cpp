// A whole detection on a platform that answers every call from the fuzzer's bytes: success or
// failure, any ActualLength, any record bytes, any returned sizes, handles valid or not, hubs
// that contain themselves, port counts up to 255. The detection then shows the detail lines of
// every tree item and every device-list row. The platform keeps its own side of the contract
// (it writes no more than the sizes it is given) and checks the caller's: every handle closed
// was opened and is closed once, every device set is destroyed once, and nothing stays open
// after the detection. Requests may answer at once or pend; a pending one ends however the
// fuzzer says, or never: its buffers must then outlive the detection (they are written once
// more at the end) and its event alone may stay open.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "detect/device_inspector.h"
#include "ui/memory_views.h"

namespace {

using namespace keldar;

// Successful answers after which every call fails, so that a walk of hubs containing hubs
// without end still ends. Each answered hub may report 255 ports, so the bound is kept small.
constexpr int kMaxSuccesses = 160;

class HostilePlatform final : public Platform {
 public:
  explicit HostilePlatform(FuzzedDataProvider& input) : input_(input) {}

  ~HostilePlatform() override {
    // A request that never ended still owns its output: the driver may write it at any time.
    std::map<std::uintptr_t, int> kept;
    for (const auto& [overlapped, request] : pending_) {
      if (request.out != nullptr) std::memset(request.out, 0xA5, request.outSize);
      ++kept[reinterpret_cast<std::uintptr_t>(overlapped->hEvent)];
    }
    // Handles of every kind and device sets are all given back by the end of a detection,
    // but for the events of requests that never ended.
    for (const auto& [value, opens] : openHandles_)
      if (opens != 0 && opens != kept[value]) std::abort();
    for (const auto& [value, live] : deviceSets_)
      if (live != 0) std::abort();
  }

  HANDLE CreateFileA(const char* path, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) override {
    if (path == nullptr) std::abort();
    if (!Succeeds()) return FailWith(INVALID_HANDLE_VALUE);
    // A small pool of values: the same hub answers under several names, so hubs contain
    // themselves and each other.
    const std::uintptr_t value = 0x100 + input_.ConsumeIntegralInRange<int>(0, 7);
    ++openHandles_[value];
    return reinterpret_cast<HANDLE>(value);
  }

  BOOL DeviceIoControl(HANDLE, DWORD, void* inBuffer, DWORD inBufferSize, void* outBuffer,
                       DWORD outBufferSize, DWORD* bytesReturned, void* request) override {
    if (inBuffer != nullptr && inBufferSize != 0) Touch(inBuffer, inBufferSize);
    if (outBuffer == nullptr && outBufferSize != 0) std::abort();
    if (auto* overlapped = static_cast<OVERLAPPED*>(request)) {
      CheckEvent(overlapped->hEvent);
      if (pending_.count(overlapped) != 0) std::abort();  // one OVERLAPPED, two requests
      if (input_.remaining_bytes() != 0 && input_.ConsumeBool()) {
        pending_[overlapped] = {outBuffer, outBufferSize};
        return Fail(ERROR_IO_PENDING);
      }
    }
    if (!Succeeds()) return Fail();
    Fill(static_cast<std::uint8_t*>(outBuffer), outBufferSize);
    if (bytesReturned != nullptr) *bytesReturned = input_.ConsumeIntegral<DWORD>();
    return TRUE;
  }

  HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*) override {
    if (manualReset == FALSE || initialState != FALSE) std::abort();
    if (!Succeeds()) return nullptr;
    const std::uintptr_t value = 0x900 + 4 * static_cast<std::uintptr_t>(events_.size());
    events_.insert(value);
    ++openHandles_[value];
    return reinterpret_cast<HANDLE>(value);
  }

  DWORD WaitForSingleObject(HANDLE object, DWORD) override {
    CheckEvent(object);
    switch (input_.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: return WAIT_OBJECT_0;
      case 1: return WAIT_TIMEOUT;
      default: return WAIT_FAILED;
    }
  }

  BOOL CancelIoEx(HANDLE, OVERLAPPED* overlapped) override {
    if (overlapped == nullptr) std::abort();
    return input_.ConsumeBool() ? TRUE : Fail(ERROR_NOT_FOUND);
  }

  BOOL GetOverlappedResult(HANDLE, OVERLAPPED* overlapped, DWORD* bytesReturned,
                           BOOL wait) override {
    if (wait != FALSE) std::abort();  // it would wait without a deadline
    const auto request = pending_.find(overlapped);
    if (request == pending_.end()) std::abort();  // the result of a request that never pended
    if (Succeeds()) {
      Fill(static_cast<std::uint8_t*>(request->second.out), request->second.outSize);
      if (bytesReturned != nullptr) *bytesReturned = input_.ConsumeIntegral<DWORD>();
      pending_.erase(request);
      return TRUE;
    }
    // Still running, or ended in a failure.
    if (input_.remaining_bytes() != 0 && input_.ConsumeBool()) return Fail(ERROR_IO_INCOMPLETE);
    pending_.erase(request);
    return Fail(input_.ConsumeBool() ? ERROR_OPERATION_ABORTED : ERROR_GEN_FAILURE);
  }

  BOOL CloseHandle(HANDLE object) override {
    auto open = openHandles_.find(reinterpret_cast<std::uintptr_t>(object));
    if (open == openHandles_.end() || open->second == 0) std::abort();  // never opened, or twice
    --open->second;
    return TRUE;
  }

  int WideCharToMultiByte(UINT, DWORD, const WCHAR* text, int length, char* out, int outSize,
                          const char*, BOOL*) override {
    if (text == nullptr || length == 0 || outSize < 0) std::abort();
    if (length > 0) Touch(text, static_cast<std::size_t>(length) * sizeof(WCHAR));
    if (!Succeeds()) return Fail();
    if (out != nullptr) Fill(reinterpret_cast<std::uint8_t*>(out), static_cast<DWORD>(outSize));
    // The count claimed need not match what was written, nor the size offered.
    return input_.ConsumeIntegralInRange<int>(-1, 4 * length + 8);
  }

  HDEVINFO SetupDiGetClassDevsA(const GUID*, const char*, HWND, DWORD) override {
    if (!Succeeds()) return FailWith(INVALID_HANDLE_VALUE);
    const std::uintptr_t value = 0x5E70 + input_.ConsumeIntegralInRange<int>(0, 1);
    ++deviceSets_[value];
    return reinterpret_cast<HDEVINFO>(value);
  }

  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD, SP_DEVINFO_DATA* element) override {
    CheckSet(set);
    if (element == nullptr || element->cbSize != sizeof(SP_DEVINFO_DATA)) std::abort();
    if (!Succeeds()) return Fail(ERROR_NO_MORE_ITEMS);
    element->DevInst = input_.ConsumeIntegral<DWORD>();
    return TRUE;
  }

  BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element, DWORD,
                                         DWORD* regDataType, BYTE* buffer, DWORD bufferSize,
                                         DWORD* requiredSize) override {
    CheckSet(set);
    if (element == nullptr || (buffer == nullptr && bufferSize != 0)) std::abort();
    if (regDataType != nullptr) *regDataType = input_.ConsumeIntegral<DWORD>();
    if (requiredSize != nullptr) *requiredSize = RequiredSize();
    if (!Succeeds()) {
      // Mostly "too small", with any required size at all; sometimes another error.
      return Fail(input_.ConsumeBool() ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_DATA);
    }
    Fill(buffer, bufferSize);
    return TRUE;
  }

  BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID*, DWORD,
                                   SP_DEVICE_INTERFACE_DATA* data) override {
    CheckSet(set);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) std::abort();
    if (!Succeeds()) return Fail(ERROR_NO_MORE_ITEMS);
    data->Reserved = input_.ConsumeIntegral<DWORD>();
    return TRUE;
  }

  BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                        DWORD detailSize, DWORD* requiredSize,
                                        SP_DEVINFO_DATA*) override {
    CheckSet(set);
    if (data == nullptr || (detail == nullptr) != (detailSize == 0)) std::abort();
    if (detail != nullptr && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
      std::abort();
    if (requiredSize != nullptr) *requiredSize = RequiredSize();
    if (!Succeeds() || detail == nullptr) return Fail(ERROR_INSUFFICIENT_BUFFER);
    // Anything at all after cbSize, the whole of the buffer the caller declared.
    Fill(reinterpret_cast<std::uint8_t*>(detail) + sizeof(DWORD), detailSize - sizeof(DWORD));
    return TRUE;
  }

  CONFIGRET CM_Get_DevNode_Status(ULONG* status, ULONG* problem, DEVINST, ULONG) override {
    if (status == nullptr || problem == nullptr) std::abort();
    if (!Succeeds()) return CR_NO_SUCH_DEVNODE;
    // Either output may be left as the caller set it.
    if (input_.ConsumeBool()) *status = input_.ConsumeIntegral<ULONG>();
    if (input_.ConsumeBool()) *problem = input_.ConsumeIntegral<ULONG>();
    return CR_SUCCESS;
  }

  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override {
    CheckSet(set);
    --deviceSets_[reinterpret_cast<std::uintptr_t>(set)];
    return TRUE;
  }

  DWORD GetLastError() override { return lastError_; }

  BOOL GetComputerNameA(char* buffer, DWORD* size) override {
    if (buffer == nullptr || size == nullptr) std::abort();
    if (!Succeeds()) return Fail();
    Fill(reinterpret_cast<std::uint8_t*>(buffer), *size);
    *size = input_.ConsumeIntegral<DWORD>();
    return TRUE;
  }

 private:
  bool Succeeds() {
    if (successes_ >= kMaxSuccesses || input_.remaining_bytes() == 0) return false;
    if (!input_.ConsumeBool()) return false;
    ++successes_;
    return true;
  }

  BOOL Fail(DWORD error = ERROR_GEN_FAILURE) {
    lastError_ = error;
    return FALSE;
  }
  HANDLE FailWith(HANDLE value) {
    lastError_ = ERROR_FILE_NOT_FOUND;
    return value;
  }

  DWORD RequiredSize() {
    switch (input_.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: return input_.ConsumeIntegralInRange<DWORD>(0, 64);
      case 1: return input_.ConsumeIntegralInRange<DWORD>(0, 70000);
      case 2: return 0xFFFFFFFF;
      default: return input_.ConsumeIntegral<DWORD>();
    }
  }

  // Every byte of a buffer the caller hands in is read, so one shorter than announced shows.
  static void Touch(const void* bytes, std::size_t size) {
    volatile std::uint8_t sink = 0;
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    for (std::size_t i = 0; i < size; ++i) sink = sink ^ p[i];
  }

  // The whole buffer is written, as far as the caller said it reaches: fuzzer bytes first,
  // then either zeros or a repeated byte. A name reply's ActualLength is often taken from a
  // short list of telling values.
  void Fill(std::uint8_t* out, DWORD size) {
    if (out == nullptr || size == 0) return;
    const std::size_t take =
        std::min<std::size_t>(size, input_.ConsumeIntegralInRange<std::size_t>(0, 64));
    const std::vector<std::uint8_t> bytes = input_.ConsumeBytes<std::uint8_t>(take);
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    const std::uint8_t rest = input_.ConsumeBool() ? input_.ConsumeIntegral<std::uint8_t>() : 0;
    std::memset(out + bytes.size(), rest, size - bytes.size());
    if (input_.ConsumeBool() && size >= 8) {
      static constexpr std::uint32_t kLengths[] = {0,  1,  4,  5,  6,  7,  8,    9,          10,
                                                   11, 12, 14, 64, 65, 4096, 0x10001, 0x7FFFFFF0,
                                                   0xFFFFFFFF};
      const std::uint32_t length =
          kLengths[input_.ConsumeIntegralInRange<std::size_t>(0, std::size(kLengths) - 1)];
      std::memcpy(out + (input_.ConsumeBool() ? 4 : 0), &length, sizeof length);
    }
  }

  void CheckEvent(HANDLE event) {
    const auto value = reinterpret_cast<std::uintptr_t>(event);
    if (events_.count(value) == 0 || openHandles_[value] <= 0) std::abort();
  }

  void CheckSet(HDEVINFO set) {
    auto live = deviceSets_.find(reinterpret_cast<std::uintptr_t>(set));
    if (live == deviceSets_.end() || live->second <= 0) std::abort();
  }

  FuzzedDataProvider& input_;
  int successes_ = 0;
  DWORD lastError_ = ERROR_SUCCESS;
  std::map<std::uintptr_t, int> openHandles_;
  std::map<std::uintptr_t, int> deviceSets_;
  std::set<std::uintptr_t> events_;
  struct Pending {
    void* out;
    DWORD outSize;
  };
  std::map<OVERLAPPED*, Pending> pending_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  HostilePlatform platform(input);
  MemoryTreeView tree;
  MemoryListView deviceList;
  MemoryListView detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);
  inspector.SetComputerNameFailure([](DWORD) {});
  tree.SetSelectionHandler([&inspector] { inspector.OnTreeSelChanged(); });
  inspector.FriendlyNames().ReadForKeyStates(true);

  // Twice: the second detection replaces everything the first one kept.
  for (int detection = 0; detection < 2; ++detection) {
    if (!inspector.Detect()) continue;
    for (TreeItem item : tree.PreOrder()) tree.Select(item);
    tree.Select(nullptr);
    for (int row = -1; row <= deviceList.GetItemCount(); ++row) inspector.OnDeviceListDblClk(row);
    // Every attached device asked as a key: its state is read from the set the names kept.
    for (const NodeEntry& row : inspector.Nodes().Rows())
      if (IsAttachedDevice(row))
        (void)inspector.FriendlyNames().KeyState(
            row.label, row.connectionInfo->DeviceDescriptor.idVendor,
            row.connectionInfo->DeviceDescriptor.idProduct);
    if (inspector.Store() != nullptr && inspector.Store()->OpenHubHandleCount() != 0) std::abort();
    if (static_cast<unsigned>(inspector.Nodes().Rows().size()) != tree.GetCount()) std::abort();
  }
  return 0;
}
