// The topology objects of one detection: the computer's host controllers, one controller with
// its root hub, and one hub port with what is attached to it. Each opens what it stands for
// and fetches its records in its constructor. Records and hub handles go to the detection's
// store and outlive the objects: the node table keeps pointing to the records.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "usb/ansi_text.h"
#include "usb/detection_store.h"
#include "platform/records.h"

namespace keldar {

// The \\.\HCDn links tried, n from 0 to 9.
inline constexpr int kHcdLinkCount = 10;
// No machine has this many host controllers; an interface list that runs on past it is a
// misbehaving platform, not more controllers.
inline constexpr DWORD kMaxInterfaceControllers = 256;

class PCHost {
 public:
  // The controllers are opened and asked through `requests`, on its platform.
  explicit PCHost(DeviceRequests& requests);
  virtual ~PCHost();
  PCHost(const PCHost&) = delete;
  PCHost& operator=(const PCHost&) = delete;

  // Opens every controller once: the \\.\HCDn links in number order, a number that does not
  // open skipped, then the host-controller device interfaces in enumeration order (the first
  // kMaxInterfaceControllers of them; InterfaceListCut says whether there were more), each kept
  // only when its driver key is readable and no controller opened before has the same key. An
  // interface whose device-information entry names the key of a controller already opened is
  // not opened at all.
  void OpenControllers();
  int GetControllerCount() const { return static_cast<int>(handles_.size()); }
  // Null (not INVALID_HANDLE_VALUE) outside 0..count-1.
  HANDLE GetControllerHandle(int index) const;
  // Whether the host-controller interface list still answered past kMaxInterfaceControllers
  // entries: controllers it lists further on are not opened.
  bool InterfaceListCut() const { return interfaceListCut_; }
  // The driver key controller `index` answered when it was opened; null when it had none.
  const char* GetControllerDriverKey(int index) const { return driverKeys_.at(static_cast<std::size_t>(index)).get(); }
  // The path controller `index` was opened by ("\\\\.\\HCD3", or a device-interface path).
  const std::string& GetControllerPath(int index) const { return paths_.at(static_cast<std::size_t>(index)); }

 private:
  void CloseControllers();
  void OpenInterfaceControllers(std::set<std::string>& driverKeys);

  DeviceRequests& requests_;
  Platform& platform_;
  std::vector<HANDLE> handles_;  // the controllers opened, in walk order
  std::vector<std::string> paths_;
  std::vector<AnsiText> driverKeys_;
  bool interfaceListCut_ = false;
};

// One host controller and its root hub. The controller handle belongs to the PCHost.
// Each reply is asked for once per object and kept in the detection's store: the tree item,
// the node-table row and the label all read the same answer, and a request that failed is not
// asked again (it would fail again).
class HCDevice {
 public:
  // Asks the root hub's name, opens the root hub and reads its node information. `driverKey`
  // is the controller's driver key as the controller search read it (null for none): the
  // search has asked it already.
  HCDevice(UsbContext& context, HANDLE controllerHandle, const char* driverKey);
  virtual ~HCDevice() = default;
  HCDevice(const HCDevice&) = delete;
  HCDevice& operator=(const HCDevice&) = delete;

  // The root hub's name; null when it has none (an empty one included).
  const char* RootHubName() const { return rootHubName_; }
  // The root hub's node information; null when the hub has no name, cannot be opened or does
  // not answer.
  const USB_NODE_INFORMATION* RootHubInfo() const { return rootHubInfo_; }
  // The controller's driver key; null when it has none.
  const char* DriverKey() const { return driverKey_; }
  HANDLE GetRootHubHandle() const { return rootHub; }
  // The device path of the root hub when it opened and answered; empty when it failed.
  const std::string& GetRootHubPath() const { return rootHubPath; }
  int GetPortCount() const { return portCount; }

 private:
  UsbContext& context_;
  std::int32_t portCount;
  HANDLE controller;
  HANDLE rootHub;  // INVALID_HANDLE_VALUE when the hub had no name or did not open
  std::string rootHubPath;
  const char* rootHubName_ = nullptr;
  const USB_NODE_INFORMATION* rootHubInfo_ = nullptr;
  const char* driverKey_;
};

// One downstream port of a hub, and the hub attached to it, if any. Its replies are kept as
// HCDevice keeps its own.
class Port {
 public:
  // Reads the connection information and, for a hub, asks its name, opens it and reads its
  // node information.
  Port(UsbContext& context, HANDLE parentHubHandle, int connectionIndex);
  virtual ~Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  // The attached device's driver key, asked at the first call; null when it has none.
  const char* DriverKey();
  // The attached hub's name, asked at the first call; null when it has none, and for a port
  // without a connection record.
  const char* HubName();
  // The attached hub's node information; null when the port has no hub or the hub has no name,
  // cannot be opened or does not answer.
  const USB_NODE_INFORMATION* HubInfo() const { return hubInfo_; }
  // Null when the connection information query failed: the port then reads as having
  // nothing attached, and the walk goes on.
  const USB_NODE_CONNECTION_INFORMATION* GetConnectionInfo() const { return connInfo; }
  int GetConnectionIndex() const { return connectionIndex; }
  // Null when no hub was opened; INVALID_HANDLE_VALUE when the hub had no name or did not open.
  HANDLE GetHubHandle() const { return hub; }
  // The device path of the attached hub when it opened and answered; empty when it failed.
  const std::string& GetHubPath() const { return hubPath; }
  int GetHubPortCount() const { return hubPortCount; }

 private:
  void QueryConnection();
  void OpenHub();

  UsbContext& context_;
  USB_NODE_CONNECTION_INFORMATION* connInfo;
  std::int32_t connectionIndex;
  HANDLE parentHub;
  HANDLE hub;
  std::int32_t hubPortCount;
  std::string hubPath;
  const USB_NODE_INFORMATION* hubInfo_ = nullptr;
  bool hubNameAsked_ = false;
  const char* hubName_ = nullptr;
  bool driverKeyAsked_ = false;
  const char* driverKey_ = nullptr;
};

}  // namespace keldar
