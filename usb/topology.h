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
  explicit PCHost(Platform& platform);
  virtual ~PCHost();
  PCHost(const PCHost&) = delete;
  PCHost& operator=(const PCHost&) = delete;

  // Opens every controller once: the \\.\HCDn links in number order, a number that does not
  // open skipped, then the host-controller device interfaces in enumeration order (the first
  // kMaxInterfaceControllers of them; InterfaceListCut says whether there were more), each kept
  // only when its driver key is readable and no controller opened before has the same key.
  void OpenControllers();
  int GetControllerCount() const { return static_cast<int>(handles_.size()); }
  // Null (not INVALID_HANDLE_VALUE) outside 0..count-1.
  HANDLE GetControllerHandle(int index) const;
  // Whether the host-controller interface list still answered past kMaxInterfaceControllers
  // entries: controllers it lists further on are not opened.
  bool InterfaceListCut() const { return interfaceListCut_; }
  // The path controller `index` was opened by ("\\\\.\\HCD3", or a device-interface path).
  const std::string& GetControllerPath(int index) const { return paths_.at(static_cast<std::size_t>(index)); }

 private:
  void CloseControllers();
  void OpenInterfaceControllers(std::set<std::string>& driverKeys);

  Platform& platform_;
  std::vector<HANDLE> handles_;  // the controllers opened, in walk order
  std::vector<std::string> paths_;
  bool interfaceListCut_ = false;
};

// One host controller and its root hub. The controller handle belongs to the PCHost.
class HCDevice {
 public:
  HCDevice(UsbContext& context, HANDLE controllerHandle);
  virtual ~HCDevice() = default;
  HCDevice(const HCDevice&) = delete;
  HCDevice& operator=(const HCDevice&) = delete;

  // Opens the root hub (a new handle and a new record on every call, both kept by the store)
  // and reads its node information. Null when the hub has no name (an empty one included),
  // cannot be opened or does not answer; the port count then keeps its earlier value.
  const USB_NODE_INFORMATION* OpenRootHub();
  AnsiText QueryRootHubName();
  AnsiText RootHubPath();
  AnsiText QueryDriverKey();
  HANDLE GetRootHubHandle() const { return rootHub; }
  // The device path of the latest root hub that opened and answered; empty when it failed.
  const std::string& GetRootHubPath() const { return rootHubPath; }
  int GetPortCount() const { return portCount; }

 private:
  UsbContext& context_;
  std::int32_t portCount;          // of the latest root hub that answered
  HANDLE controller;
  HANDLE rootHub;  // null before the first open; INVALID_HANDLE_VALUE when the hub had no name
  std::string rootHubPath;
};

// One downstream port of a hub, and the hub attached to it, if any.
class Port {
 public:
  Port(UsbContext& context, HANDLE parentHubHandle, int connectionIndex);
  virtual ~Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  void QueryConnection();
  // Opens the attached hub and reads its node information, as HCDevice::OpenRootHub does.
  const USB_NODE_INFORMATION* OpenHub();
  AnsiText QueryDriverKey();
  AnsiText QueryHubName();
  AnsiText HubPath();
  // Null when the connection information query failed: the port then reads as having
  // nothing attached, and the walk goes on.
  const USB_NODE_CONNECTION_INFORMATION* GetConnectionInfo() const { return connInfo; }
  int GetConnectionIndex() const { return connectionIndex; }
  HANDLE GetHubHandle() const { return hub; }
  // The device path of the latest attached hub that opened and answered; empty when it failed.
  const std::string& GetHubPath() const { return hubPath; }
  int GetHubPortCount() const { return hubPortCount; }

 private:
  UsbContext& context_;
  USB_NODE_CONNECTION_INFORMATION* connInfo;
  std::int32_t connectionIndex;
  HANDLE parentHub;
  HANDLE hub;  // null before the first open; INVALID_HANDLE_VALUE when the hub had no name
  std::int32_t hubPortCount;
  std::string hubPath;
};

}  // namespace keldar
