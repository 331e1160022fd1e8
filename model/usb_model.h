// An in-memory USB topology: what a computer's hub drivers and device-installation database
// would answer. Loaded from a topology file or a Linux sysfs scan, written back to a topology
// file, and answered call by call by ModelPlatform. Texts are UTF-8 here; the platform
// converts them to UTF-16 or to the model's ANSI code page as the real calls would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/records.h"

namespace keldar::model {

// How a name query (probe, then fetch) misbehaves. The first four are the access layer's
// failure points; the rest are malformed replies it must bound and refuse.
enum class NameFault {
  None,
  ProbeFails,        // the probe call returns failure
  AbsurdLength,      // the probe announces an ActualLength beyond any real name (allocation)
  FetchFails,        // the probe succeeds, the fetch call fails
  ConversionFails,   // WideCharToMultiByte refuses this text
  BareHeader,        // ActualLength announces the header plus the 0 unit only (empty name)
  ShortLength,       // ActualLength below the probe size
  OddLength,         // ActualLength is odd
  NoTerminator,      // the reply's text fills ActualLength without a 0 unit
};

// The spelling of a name fault in topology files ("probeFails", ...), and back.
const char* NameFaultName(NameFault fault);
std::optional<NameFault> ParseNameFault(std::string_view name);

// A part the model owns (a hub of a device, a device on a port): absent or one, copied and
// compared with its owner as a value.
template <typename T>
class Owned {
 public:
  Owned() = default;
  Owned(std::nullptr_t) {}
  Owned(std::unique_ptr<T> part) : part_(std::move(part)) {}
  Owned(const Owned& other) : part_(other.part_ ? std::make_unique<T>(*other.part_) : nullptr) {}
  Owned(Owned&&) noexcept = default;
  Owned& operator=(const Owned& other) { return *this = Owned(other); }
  Owned& operator=(Owned&&) noexcept = default;

  T* get() const { return part_.get(); }
  T& operator*() const { return *part_; }
  T* operator->() const { return part_.get(); }
  explicit operator bool() const { return part_ != nullptr; }
  void reset() { part_.reset(); }

  // Both absent, or both present and equal.
  friend bool operator==(const Owned& a, const Owned& b) {
    return a && b ? *a == *b : !a && !b;
  }

 private:
  std::unique_ptr<T> part_;
};

// Each record below lists its fields once, in Fields: each field with the name a topology file
// gives it, in the file's order. The copy to and from the hub driver's records, equality, the
// file's reading and its writing all go through that list.
//   DeviceDescriptor::Fields([](std::string_view name, auto& field) { ... }, descriptor);

struct DeviceDescriptor {
  std::uint8_t bLength = 18;
  std::uint8_t bDescriptorType = 1;
  std::uint16_t bcdUSB = 0x0200;
  std::uint8_t bDeviceClass = 0;
  std::uint8_t bDeviceSubClass = 0;
  std::uint8_t bDeviceProtocol = 0;
  std::uint8_t bMaxPacketSize0 = 64;
  std::uint16_t idVendor = 0;
  std::uint16_t idProduct = 0;
  std::uint16_t bcdDevice = 0x0100;
  std::uint8_t iManufacturer = 0;
  std::uint8_t iProduct = 0;
  std::uint8_t iSerialNumber = 0;
  std::uint8_t bNumConfigurations = 1;
  bool operator==(const DeviceDescriptor&) const = default;

  // In the order and sizes of USB_DEVICE_DESCRIPTOR, which the copy to and from it goes by.
  template <typename Visit, typename Self>
  static constexpr void Fields(Visit&& visit, Self& self) {
    visit("bLength", self.bLength);
    visit("bDescriptorType", self.bDescriptorType);
    visit("bcdUSB", self.bcdUSB);
    visit("bDeviceClass", self.bDeviceClass);
    visit("bDeviceSubClass", self.bDeviceSubClass);
    visit("bDeviceProtocol", self.bDeviceProtocol);
    visit("bMaxPacketSize0", self.bMaxPacketSize0);
    visit("idVendor", self.idVendor);
    visit("idProduct", self.idProduct);
    visit("bcdDevice", self.bcdDevice);
    visit("iManufacturer", self.iManufacturer);
    visit("iProduct", self.iProduct);
    visit("iSerialNumber", self.iSerialNumber);
    visit("bNumConfigurations", self.bNumConfigurations);
  }
};

// n for a device name "HCD<n>" (n plain decimal, no sign, no leading zero; "HCD" in any case;
// the name ending at its first 0 character), the name the controller search opens as
// "\\.\HCD<n>"; none for any other name.
std::optional<std::size_t> ControllerNumber(std::string_view deviceName);

// The device descriptor as the hub driver's connection record carries it, and back.
USB_DEVICE_DESCRIPTOR ToRecord(const DeviceDescriptor& descriptor);
DeviceDescriptor FromRecord(const USB_DEVICE_DESCRIPTOR& record);

struct HubDescriptor {
  std::uint8_t bDescriptorLength = 9;
  std::uint8_t bDescriptorType = 0x29;
  std::uint8_t bNumberOfPorts = 0;
  std::uint16_t wHubCharacteristics = 0;
  std::uint8_t bPowerOnToPowerGood = 0;
  std::uint8_t bHubControlCurrent = 0;
  bool operator==(const HubDescriptor&) const = default;

  // In the order and sizes of USB_HUB_DESCRIPTOR's fixed part, which the copy goes by.
  template <typename Visit, typename Self>
  static constexpr void Fields(Visit&& visit, Self& self) {
    visit("bDescriptorLength", self.bDescriptorLength);
    visit("bDescriptorType", self.bDescriptorType);
    visit("bNumberOfPorts", self.bNumberOfPorts);
    visit("wHubCharacteristics", self.wHubCharacteristics);
    visit("bPowerOnToPowerGood", self.bPowerOnToPowerGood);
    visit("bHubControlCurrent", self.bHubControlCurrent);
  }
};

// The hub descriptor as the hub driver's node information carries it, and back.
USB_HUB_DESCRIPTOR ToRecord(const HubDescriptor& descriptor);
HubDescriptor FromRecord(const USB_HUB_DESCRIPTOR& record);

struct HubFaults {
  bool openFails = false;      // CreateFileA on the hub's path fails
  bool nodeInfoFails = false;  // IOCTL_USB_GET_NODE_INFORMATION fails
  // Every request on the hub's handle stays unanswered until it is cancelled (a hub driver
  // that hangs): the request pends, and ends with ERROR_OPERATION_ABORTED once cancelled.
  bool neverAnswers = false;
  bool operator==(const HubFaults&) const = default;

  template <typename Visit, typename Self>
  static constexpr void Fields(Visit&& visit, Self& self) {
    visit("openFails", self.openFails);
    visit("nodeInfoFails", self.nodeInfoFails);
    visit("neverAnswers", self.neverAnswers);
  }
};

struct PortFaults {
  bool connectionInfoFails = false;   // IOCTL_USB_GET_NODE_CONNECTION_INFORMATION fails
  NameFault driverKeyName = NameFault::None;  // IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME
  NameFault hubName = NameFault::None;        // IOCTL_USB_GET_NODE_CONNECTION_NAME
  bool operator==(const PortFaults&) const = default;

  template <typename Visit, typename Self>
  static constexpr void Fields(Visit&& visit, Self& self) {
    visit("connectionInfoFails", self.connectionInfoFails);
    visit("driverKeyName", self.driverKeyName);
    visit("hubName", self.hubName);
  }
};

struct ControllerFaults {
  bool openFails = false;                      // CreateFileA on \\.\HCDn fails
  NameFault driverKeyName = NameFault::None;   // IOCTL_GET_HCD_DRIVERKEY_NAME
  NameFault rootHubName = NameFault::None;     // IOCTL_USB_GET_ROOT_HUB_NAME
  bool operator==(const ControllerFaults&) const = default;

  template <typename Visit, typename Self>
  static constexpr void Fields(Visit&& visit, Self& self) {
    visit("openFails", self.openFails);
    visit("driverKeyName", self.driverKeyName);
    visit("rootHubName", self.rootHubName);
  }
};

// How one entry of the device-installation database answers property reads.
struct DatabaseFaults {
  bool driverKeyReadFails = false;     // SPDRP_DRIVER fails with an error other than 122
  bool friendlyNameReadFails = false;  // SPDRP_FRIENDLYNAME fails after a re-allocation
  bool operator==(const DatabaseFaults&) const = default;

  template <typename Visit, typename Self>
  static constexpr void Fields(Visit&& visit, Self& self) {
    visit("driverKeyReadFails", self.driverKeyReadFails);
    visit("friendlyNameReadFails", self.friendlyNameReadFails);
  }
};

// What the device-installation database and the configuration manager answer about a
// device's driver and state: whether a program can reach the device through it.
struct WindowsState {
  std::optional<std::string> service;        // SPDRP_SERVICE; absent: the device has none
  std::optional<std::uint32_t> configFlags;  // SPDRP_CONFIGFLAGS; absent: not read
  std::optional<std::uint32_t> devNodeStatus;  // CM_Get_DevNode_Status; absent: the call failed
  std::uint32_t problemCode = 0;               // its problem number, with the status
  bool operator==(const WindowsState&) const = default;
};

// The device's usbfs node (/dev/bus/usb/BBB/DDD) as the scanning user found it.
struct UsbfsNode {
  std::string path;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t mode = 0;  // st_mode: type and permission bits
  // The scanning user could open it for reading and writing, with its real IDs and with its
  // effective IDs alike.
  bool openable = false;
  std::string user;  // who scanned: the user the openable answer is for
  bool operator==(const UsbfsNode&) const = default;
};

// What the kernel says about a device's use on Linux. Not configured is
// currentConfigurationValue 0.
// The sysfs attributes a LinuxState may name as unread.
inline constexpr const char* kLinuxStateAttributes[] = {"authorized", "bConfigurationValue"};

struct LinuxState {
  bool authorized = true;
  // The driver bound to the device itself ("usb" for the kernel's own; "usbip-host" for a
  // device exported to another machine); absent: none, or not read.
  std::optional<std::string> deviceDriver;
  std::vector<std::string> interfaceDrivers;  // each interface's driver, "" for none, in order
  std::optional<UsbfsNode> node;              // absent: the tree has no /dev (a copied tree)
  // The attributes the scan could not read, of kLinuxStateAttributes: what `authorized` and
  // the device's currentConfigurationValue hold for them is no answer.
  std::vector<std::string> unread;
  bool operator==(const LinuxState&) const = default;
};

// A device attached through USB/IP's virtual host controller (vhci_hcd): it is plugged into
// another machine, the server, and reaches this one over the network. What the usbip tool
// recorded when it attached the device, where it could be read; each absent: not known.
struct UsbipAttachment {
  std::optional<std::string> server;       // the server's host name or address
  std::optional<std::string> serverPort;   // its TCP port, as recorded ("3240")
  std::optional<std::string> remoteBusId;  // the device's bus ID on the server ("1-1")
  bool operator==(const UsbipAttachment&) const = default;
};

struct Device;

struct Port {
  int port = 1;                               // 1-based port number on its hub
  std::optional<std::uint32_t> connectionStatus;  // absent: 1 with a device, 0 without
  Owned<Device> device;                       // null: nothing attached
  PortFaults faults;

  // A port's connectionStatus counts as given: "absent" differs from an explicit 1.
  bool operator==(const Port&) const = default;

  std::uint32_t EffectiveConnectionStatus() const {
    return connectionStatus ? *connectionStatus : (device ? 1u : 0u);
  }
};

struct Hub {
  std::string name;  // device name without the "\\.\" prefix, e.g. USB#ROOT_HUB20#...
  bool busPowered = false;
  HubDescriptor descriptor;
  std::vector<Port> ports;  // in ascending port order; a port not listed is empty
  HubFaults faults;
  bool operator==(const Hub&) const = default;
};

struct Device {
  DeviceDescriptor descriptor;
  bool lowSpeed = false;
  std::uint16_t deviceAddress = 0;
  std::uint8_t currentConfigurationValue = 0;
  std::optional<std::string> driverKey;     // absent: the driver-key reply carries an empty name
  std::optional<std::string> friendlyName;  // absent: the device has no friendly name property
  Owned<Hub> hub;                           // set exactly when the device is a hub
  DatabaseFaults databaseFaults;
  // Whether a program can use the device, where the source says: absent in older files.
  std::optional<WindowsState> windowsState;
  std::optional<LinuxState> linuxState;
  std::optional<UsbipAttachment> usbip;  // absent: attached here, or not known (older files)
  bool operator==(const Device&) const = default;
};

// A controller's hcdNumber that no \\.\HCDn link reaches: only its device interface does.
inline constexpr int kNoHcdLink = -1;
// HCD links are numbered 0 to 9.
inline constexpr int kHcdLinks = 10;

// External hubs below a root hub that a model holds. Real USB allows five; the bound only
// keeps absurd files and trees from exhausting the stack of every walk over the model.
inline constexpr int kMaxHubNesting = 32;

struct Controller {
  // Which \\.\HCDn link opens the controller: absent, its position among the controllers
  // (none from the eleventh on); kNoHcdLink, none. Every controller is reached through its device interface as well.
  std::optional<int> hcdNumber;
  std::string driverKey;
  std::optional<std::string> friendlyName;
  Owned<Hub> rootHub;  // null: the root hub name query fails
  ControllerFaults faults;
  DatabaseFaults databaseFaults;
  bool operator==(const Controller&) const = default;
};

// A present device that is not on USB (or that the file lists by hand).
struct OtherDevice {
  std::optional<std::string> driverKey;
  std::optional<std::string> friendlyName;
  DatabaseFaults databaseFaults;
  bool operator==(const OtherDevice&) const = default;
};

// Where the program runs, as far as the source recorded it; each fact absent where it did not
// (older files, a copied sysfs tree, Linux for the remote session).
struct Environment {
  std::optional<bool> remoteSession;  // GetSystemMetrics(SM_REMOTESESSION) != 0
  // The SMBIOS system names: Windows' BIOS registry key; Linux's DMI sys_vendor, product_name.
  std::optional<std::string> systemManufacturer;
  std::optional<std::string> systemProductName;
  bool operator==(const Environment&) const = default;
};

struct UsbModel {
  std::optional<std::string> computerName;  // absent: GetComputerNameA fails
  unsigned ansiCodePage = 936;
  std::vector<Controller> controllers;      // in device-interface enumeration order
  std::vector<OtherDevice> otherDevices;
  bool deviceSetFails = false;              // SetupDiGetClassDevsA fails
  // The devices' driver keys are their port paths (sysfs names, "3-1.4"): a report names a
  // key's port by it, as a detection on the sysfs tree itself does, and a replay the same.
  bool driverKeysArePorts = false;
  // What could not be read while the model was made from a live source (a sysfs scan's
  // unreadable files), one line per reason. Written to a topology file and read back, so that
  // a replay warns as the detection did; not compared, as it is no part of the USB tree.
  std::vector<std::string> warnings;
  Environment environment;
};

// The n of the \\.\HCDn link that opens controllers[index]; none when no link does.
std::optional<unsigned> HcdNumber(const UsbModel& model, std::size_t index);

// The device-interface path of controllers[index] (what SetupDiGetDeviceInterfaceDetailA
// gives), and back: the index a path names, none for any other text.
std::string HostControllerInterfacePath(std::size_t index);
std::optional<std::size_t> HostControllerInterfaceIndex(std::string_view path);

// A hub's ports by number, whatever order the model lists them in.
std::vector<const Port*> PortsInOrder(const Hub& hub);
// The port a hub lists under `number` (a ConnectionIndex); none when it lists none.
const Port* PortNumbered(const Hub& hub, std::uint32_t number);

// Two models are equal when they describe the same topology, texts and faults; the warnings
// of a scan are not compared.
bool operator==(const UsbModel& a, const UsbModel& b);

}  // namespace keldar::model
