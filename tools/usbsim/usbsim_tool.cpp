// keldar_usbsim: the user-mode half of the simulated USB driver (test equipment), built
// natively. It reads a topology file with the product's own reader and writes what the
// simulator serves from under wine:
//   keldar_usbsim image TOPOLOGY IMAGE REG   the machine image the driver reads at start
//                                            (usbsim_image.h) and the .reg file with the
//                                            device-installation database and computer name
//   keldar_usbsim check TOPOLOGY             says why a topology cannot be served, if it cannot
// A topology that holds something neither a driver nor the registry can produce is refused
// (exit 3) with one line per reason; the simulator never serves an approximation.
//
// The only file that includes the model's headers.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "model/topology_file.h"
#include "text/text_codec.h"
#include "platform/records.h"

extern "C" {
#include "usbsim_image.h"
}

namespace {

using namespace keldar;

// ---- what cannot be served ----

void CheckName(model::NameFault fault, const std::string& where, std::vector<std::string>& reasons) {
  if (fault == model::NameFault::ConversionFails)
    reasons.push_back(where + ": conversionFails: WideCharToMultiByte with flags 0 never refuses "
                      "a text (a character the code page lacks becomes its best fit or its default "
                      "character)");
}

void CheckDatabase(const model::DatabaseFaults& faults, const std::string& where,
                   std::vector<std::string>& reasons) {
  if (faults.friendlyNameReadFails)
    reasons.push_back(where + ": friendlyNameReadFails: SetupAPI reads a registry value whole; "
                      "a read that first asks for a bigger buffer and then fails cannot be made");
}

struct Checker {
  std::vector<std::string> reasons;
  std::map<std::string, std::string> hubNames;  // upper case -> where
  std::map<std::string, std::string> driverKeys;

  void Key(const std::optional<std::string>& key, const std::string& where) {
    if (!key) return;
    const auto [it, fresh] = driverKeys.emplace(*key, where);
    // Wine lists the database sorted by device ID, not in the file's order: with one key on two
    // entries the lookup could meet the other one first.
    if (!fresh)
      reasons.push_back(where + ": driver key also carried by " + it->second +
                        ": the database's order under wine cannot follow the file's");
  }

  // Wine's CM_Get_DevNode_Status answers success and writes neither output: the program reads
  // the 0 it set, neither started nor a problem, for every device.
  void CheckState(const std::optional<model::WindowsState>& state, const std::string& where) {
    if (state && (state->devNodeStatus != 0u || state->problemCode != 0))
      reasons.push_back(where + ": only devNodeStatus 0x0 with problemCode 0 can be served: "
                        "wine's CM_Get_DevNode_Status succeeds and writes no status");
  }

  void Hub(const model::Hub& hub, const std::string& where) {
    if (hub.name.find('\\') != std::string::npos || hub.name.find('\0') != std::string::npos)
      reasons.push_back(where + ".name: a device name with a backslash or a 0 character cannot "
                        "be a symbolic link");
    if (!hub.name.empty()) {
      std::string upper = hub.name;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      const auto [it, fresh] = hubNames.emplace(upper, where);
      if (!fresh)
        reasons.push_back(where + ".name: differs only in letter case from " + it->second +
                          ": object names are matched without regard to case");
    }
    for (std::size_t i = 0; i < hub.ports.size(); ++i) {
      const model::Port& port = hub.ports[i];
      const std::string at = where + ".ports[" + std::to_string(i) + "]";
      CheckName(port.faults.driverKeyName, at + ".faults.driverKeyName", reasons);
      CheckName(port.faults.hubName, at + ".faults.hubName", reasons);
      if (!port.device) continue;
      Key(port.device->driverKey, at + ".device");
      CheckDatabase(port.device->databaseFaults, at + ".device.faults", reasons);
      CheckState(port.device->windowsState, at + ".device.windowsState");
      if (port.device->hub) Hub(*port.device->hub, at + ".device.hub");
    }
  }

  void Model(const model::UsbModel& model) {
    if (!model.computerName)
      reasons.push_back("computerName: absent, but GetComputerNameA under wine always answers");
    // Windows names a computer with at most MAX_COMPUTERNAME_LENGTH (15) characters;
    // GetComputerNameA answers a longer one with ERROR_BUFFER_OVERFLOW, which no real machine
    // gives.
    else if (model.computerName->size() > 15)
      reasons.push_back("computerName: " + *model.computerName +
                        ": longer than the 15 characters Windows allows a computer name");
    if (model.ansiCodePage != 936 && model.ansiCodePage != 1252)
      reasons.push_back("ansiCodePage: " + std::to_string(model.ansiCodePage) +
                        ": the simulator's prefix runs with code page 936 (zh_CN) or 1252 (en_US)");
    if (model.deviceSetFails)
      reasons.push_back("faults.deviceSetFails: SetupDiGetClassDevsA over the registry does not fail");
    for (std::size_t i = 0; i < model.controllers.size(); ++i) {
      const model::Controller& controller = model.controllers[i];
      const std::string at = "controllers[" + std::to_string(i) + "]";
      CheckName(controller.faults.driverKeyName, at + ".faults.driverKeyName", reasons);
      CheckName(controller.faults.rootHubName, at + ".faults.rootHubName", reasons);
      CheckDatabase(controller.databaseFaults, at + ".faults", reasons);
      if (!controller.driverKey.empty()) Key(controller.driverKey, at);
      if (controller.rootHub) Hub(*controller.rootHub, at + ".rootHub");
    }
    for (std::size_t i = 0; i < model.otherDevices.size(); ++i) {
      const std::string at = "otherDevices[" + std::to_string(i) + "]";
      Key(model.otherDevices[i].driverKey, at);
      CheckDatabase(model.otherDevices[i].databaseFaults, at + ".faults", reasons);
    }
  }
};

// ---- the machine image ----

class ImageWriter {
 public:
  void U32(std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<char>(value >> shift));
  }
  void Bytes(const void* data, std::size_t size) {
    bytes_.append(static_cast<const char*>(data), size);
  }
  void Text(const std::string& utf8) {
    const std::u16string units = Utf8ToUtf16(utf8);
    U32(static_cast<std::uint32_t>(units.size() * 2));
    for (char16_t unit : units) {
      bytes_.push_back(static_cast<char>(unit & 0xFF));
      bytes_.push_back(static_cast<char>(unit >> 8));
    }
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

std::uint32_t ImageFault(model::NameFault fault) {
  switch (fault) {
    case model::NameFault::ProbeFails: return SIM_FAULT_PROBE_FAILS;
    case model::NameFault::AbsurdLength: return SIM_FAULT_ABSURD_LENGTH;
    case model::NameFault::FetchFails: return SIM_FAULT_FETCH_FAILS;
    case model::NameFault::BareHeader: return SIM_FAULT_BARE_HEADER;
    case model::NameFault::ShortLength: return SIM_FAULT_SHORT_LENGTH;
    case model::NameFault::OddLength: return SIM_FAULT_ODD_LENGTH;
    case model::NameFault::NoTerminator: return SIM_FAULT_NO_TERMINATOR;
    default: return SIM_FAULT_NONE;
  }
}

// Hubs in the order the image lists them; a hub's index is its place here.
void CollectHubs(const model::Hub& hub, std::vector<const model::Hub*>& hubs,
                 std::map<const model::Hub*, std::int32_t>& index) {
  index[&hub] = static_cast<std::int32_t>(hubs.size());
  hubs.push_back(&hub);
  for (const model::Port& port : hub.ports)
    if (port.device && port.device->hub) CollectHubs(*port.device->hub, hubs, index);
}

std::string MachineImage(const model::UsbModel& model) {
  std::vector<const model::Hub*> hubs;
  std::map<const model::Hub*, std::int32_t> index;
  for (const model::Controller& controller : model.controllers)
    if (controller.rootHub) CollectHubs(*controller.rootHub, hubs, index);
  std::uint32_t ports = 0;
  for (const model::Hub* hub : hubs) ports += hub->descriptor.bNumberOfPorts;

  ImageWriter out;
  out.U32(SIM_IMAGE_MAGIC);
  out.U32(SIM_IMAGE_VERSION);
  out.U32(static_cast<std::uint32_t>(model.controllers.size()));
  out.U32(static_cast<std::uint32_t>(hubs.size()));
  out.U32(ports);
  for (std::size_t n = 0; n < model.controllers.size(); ++n) {
    const model::Controller& controller = model.controllers[n];
    const std::optional<unsigned> hcdNumber = model::HcdNumber(model, n);
    out.U32(hcdNumber ? *hcdNumber : static_cast<std::uint32_t>(-1));
    out.U32(controller.faults.openFails ? SIM_CONTROLLER_OPEN_FAILS : 0);
    out.U32(ImageFault(controller.faults.driverKeyName));
    out.U32(ImageFault(controller.faults.rootHubName));
    out.U32(static_cast<std::uint32_t>(controller.rootHub ? index[controller.rootHub.get()] : -1));
    out.Text(controller.driverKey);
    // The link behind the interface path: "\\?\" names the same folder as \DosDevices.
    out.Text(model::HostControllerInterfacePath(n).substr(4));
  }
  for (const model::Hub* hub : hubs) {
    out.U32((hub->faults.openFails ? SIM_HUB_OPEN_FAILS : 0) |
            (hub->faults.nodeInfoFails ? SIM_HUB_NODE_INFORMATION_FAILS : 0) |
            (hub->faults.neverAnswers ? SIM_HUB_NEVER_ANSWERS : 0));
    out.Text(hub->name);
    USB_NODE_INFORMATION node{};
    node.NodeType = 0;  // UsbHub
    node.HubInformation.HubDescriptor = model::ToRecord(hub->descriptor);
    node.HubInformation.HubIsBusPowered = hub->busPowered ? 1 : 0;
    out.Bytes(&node, SIM_NODE_INFORMATION_SIZE);
    out.U32(hub->descriptor.bNumberOfPorts);
    for (std::uint32_t number = 1; number <= hub->descriptor.bNumberOfPorts; ++number) {
      const model::Port* port = model::PortNumbered(*hub, number);
      const model::Device* device = port ? port->device.get() : nullptr;
      out.U32((port && port->faults.connectionInfoFails ? SIM_PORT_CONNECTION_INFORMATION_FAILS : 0) |
              (device ? 0 : SIM_PORT_EMPTY));
      out.U32(port ? ImageFault(port->faults.driverKeyName) : SIM_FAULT_NONE);
      out.U32(port ? ImageFault(port->faults.hubName) : SIM_FAULT_NONE);
      out.U32(static_cast<std::uint32_t>(device && device->hub ? index[device->hub.get()] : -1));
      USB_NODE_CONNECTION_INFORMATION connection{};
      connection.ConnectionIndex = number;
      if (port) connection.ConnectionStatus = port->EffectiveConnectionStatus();
      if (device) {
        connection.DeviceDescriptor = model::ToRecord(device->descriptor);
        connection.CurrentConfigurationValue = device->currentConfigurationValue;
        connection.LowSpeed = device->lowSpeed ? 1 : 0;
        connection.DeviceIsHub = device->hub ? 1 : 0;
        connection.DeviceAddress = device->deviceAddress;
      }
      // The model knows no pipes: every device reports none open.
      connection.NumberOfOpenPipes = 0;
      out.Bytes(&connection, SIM_CONNECTION_HEAD_SIZE);
      out.U32(0);
      out.Text(device && device->driverKey ? *device->driverKey : std::string());
    }
  }
  return out.bytes();
}

// ---- the .reg file (regedit's version 5 format: UTF-16LE with a byte-order mark) ----

class RegWriter {
 public:
  RegWriter() { Line("Windows Registry Editor Version 5.00"); Line(""); }
  void Key(const std::string& path) { Line("[" + path + "]"); }
  void DeleteKey(const std::string& path) { Line("[-" + path + "]"); Line(""); }
  void String(const std::string& name, const std::string& value) {
    bool plain = true;
    for (unsigned char c : value) plain = plain && c >= 0x20;
    if (plain) {
      Line(Quote(name) + "=" + Quote(value));
      return;
    }
    // A text with control characters (a 0 inside, say) is written as raw REG_SZ bytes.
    std::u16string units = Utf8ToUtf16(value);
    units.push_back(0);
    Hex(name, "hex(1)", units);
  }
  void MultiString(const std::string& name, const std::vector<std::string>& values) {
    std::u16string units;
    for (const std::string& value : values) {
      units += Utf8ToUtf16(value);
      units.push_back(0);
    }
    units.push_back(0);
    Hex(name, "hex(7)", units);
  }
  void Dword(const std::string& name, std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", value);
    Line(Quote(name) + "=" + text);
  }
  void End() { Line(""); }
  std::string Bytes() const {
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : Utf8ToUtf16(text_)) {
      bytes.push_back(static_cast<char>(unit & 0xFF));
      bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
  }

 private:
  static std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
      if (c == '\\' || c == '"') quoted.push_back('\\');
      quoted.push_back(c);
    }
    return quoted + "\"";
  }
  void Hex(const std::string& name, const char* type, const std::u16string& units) {
    std::string line = Quote(name) + "=" + type + ":";
    char byte[4];
    for (std::size_t i = 0; i < units.size(); ++i) {
      std::snprintf(byte, sizeof byte, "%02x", units[i] & 0xFF);
      line += (i ? "," : "") + std::string(byte);
      std::snprintf(byte, sizeof byte, "%02x", units[i] >> 8);
      line += "," + std::string(byte);
    }
    Line(line);
  }
  void Line(const std::string& line) { text_ += line + "\r\n"; }
  std::string text_;
};

constexpr const char* kEnum = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum";
// Upper case as a PCI enumerator writes it; the database hands the interface paths out in
// lower case, which is what the model's paths are.
constexpr const char* kControllerEnum = "PCI\\VEN_KELD&DEV_MODEL";
constexpr const char* kInterfaceClasses =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\DeviceClasses\\"
    "{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
constexpr const char* kOtherEnum = "ROOT\\KELDAR_USBSIM_OTHER";
constexpr const char* kClasses = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class";
constexpr const char* kServices = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services";

// The setup class of a driver key "{class guid}\nnnn", and its name where it is a known one.
void WriteClass(RegWriter& reg, const std::optional<std::string>& driverKey) {
  // Every device has a setup class, and wine's SetupAPI lists no device without one: a driver
  // key that names no class (a hand-made "HCD-CHAIN") puts its device in the USB class.
  const bool named = driverKey && driverKey->size() >= 38 && (*driverKey)[0] == '{' &&
                     (*driverKey)[37] == '}';
  const std::string guid = named ? driverKey->substr(0, 38) : "{36fc9e60-c465-11cf-8056-444553540000}";
  reg.String("ClassGUID", guid);
  static const std::map<std::string, std::string> names = {
      {"{36fc9e60-c465-11cf-8056-444553540000}", "USB"},
      {"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}", "HIDClass"},
      {"{4d36e97d-e325-11ce-bfc1-08002be10318}", "System"},
      {"{4d36e967-e325-11ce-bfc1-08002be10318}", "DiskDrive"},
      {"{4d36e968-e325-11ce-bfc1-08002be10318}", "Display"},
      {"{4d36e96f-e325-11ce-bfc1-08002be10318}", "Mouse"},
      {"{4d36e972-e325-11ce-bfc1-08002be10318}", "Net"},
      {"{4d36e97b-e325-11ce-bfc1-08002be10318}", "SCSIAdapter"}};
  const auto name = names.find(guid);
  if (name != names.end()) reg.String("Class", name->second);
}

// One device instance. A driver key that cannot be read (driverKeyReadFails), or none (a
// device whose driver is not installed), is a device without a Driver value: SetupAPI then
// fails the read with ERROR_INVALID_DATA, as it does for any device lacking the property; so
// for Service and ConfigFlags, which come from the device's windowsState.
void WriteEntry(RegWriter& reg, const std::string& instancePath,
                const std::optional<std::string>& driverKey,
                const std::optional<std::string>& friendlyName,
                const model::DatabaseFaults& faults, const std::vector<std::string>& hardwareIds,
                const std::optional<model::WindowsState>& state = std::nullopt) {
  reg.Key(std::string(kEnum) + "\\" + instancePath);
  if (driverKey && !faults.driverKeyReadFails) reg.String("Driver", *driverKey);
  if (state && state->service) reg.String("Service", *state->service);
  if (state && state->configFlags) reg.Dword("ConfigFlags", *state->configFlags);
  if (friendlyName) {
    reg.String("FriendlyName", *friendlyName);
    reg.String("DeviceDesc", *friendlyName);
  }
  WriteClass(reg, driverKey);
  if (!hardwareIds.empty()) reg.MultiString("HardwareID", hardwareIds);
  reg.End();
}

std::string DeviceDatabase(const model::UsbModel& model) {
  RegWriter reg;
  // Every load starts from an empty USB database: entries of an earlier topology must go.
  reg.DeleteKey(std::string(kEnum) + "\\USB");
  reg.DeleteKey(std::string(kEnum) + "\\" + kControllerEnum);
  reg.DeleteKey(std::string(kEnum) + "\\" + kOtherEnum);
  reg.DeleteKey(kInterfaceClasses);
  // The machine owns its database: wine's own bus drivers and the HID mouse and keyboard they
  // report (driver keys {745A17A0-...}\0000 to \0003, and System-class keys) would otherwise
  // sit beside the machine's devices, and a lookup of one of their driver keys could meet
  // wine's device first. Their services are disabled so that they do not come back when the
  // server starts again (scripts/usbsim restarts it once after the first load in a prefix).
  for (const char* wine : {"ROOT\\WINE", "WINEBUS", "HID"}) reg.DeleteKey(std::string(kEnum) + "\\" + wine);
  reg.DeleteKey(std::string(kClasses) + "\\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}");
  for (const char* service : {"winebus", "wineusb", "winehid"}) {
    reg.Key(std::string(kServices) + "\\" + service);
    reg.Dword("Start", 4);  // SERVICE_DISABLED
    reg.End();
  }

  char number[24];
  for (std::size_t i = 0; i < model.controllers.size(); ++i) {
    const model::Controller& controller = model.controllers[i];
    std::snprintf(number, sizeof number, "%04zu", i);
    std::optional<std::string> key;
    if (!controller.driverKey.empty()) key = controller.driverKey;
    const std::string instance = std::string(kControllerEnum) + "\\" + number;
    WriteEntry(reg, instance, key, controller.friendlyName, controller.databaseFaults, {});
    // Its host-controller interface: "##?#" + the instance path with '#' for '\\' + "#{class}".
    std::string link = "\\\\?\\" + instance + "#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
    std::replace(link.begin() + 4, link.end(), '\\', '#');
    std::string subkey = link;
    std::replace(subkey.begin(), subkey.end(), '\\', '#');
    reg.Key(std::string(kInterfaceClasses) + "\\" + subkey);
    reg.String("DeviceInstance", instance);
    reg.End();
    reg.Key(std::string(kInterfaceClasses) + "\\" + subkey + "\\#");
    reg.String("SymbolicLink", link);
    reg.End();
    reg.Key(std::string(kInterfaceClasses) + "\\" + subkey + "\\#\\Control");
    reg.Dword("Linked", 1);
    reg.End();
  }
  std::size_t sequence = 0;
  std::function<void(const model::Hub&)> walk = [&](const model::Hub& hub) {
    for (const model::Port* port : model::PortsInOrder(hub)) {
      if (!port->device) continue;
      const model::Device& device = *port->device;
      char id[64], revision[80];
      std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X", device.descriptor.idVendor,
                    device.descriptor.idProduct);
      std::snprintf(revision, sizeof revision, "%s&REV_%04X", id, device.descriptor.bcdDevice);
      std::snprintf(number, sizeof number, "%zu", sequence++);
      WriteEntry(reg, std::string(id) + "\\KELDARSIM&" + number, device.driverKey,
                 device.friendlyName, device.databaseFaults, {revision, id}, device.windowsState);
      if (device.hub) walk(*device.hub);
    }
  };
  for (const model::Controller& controller : model.controllers)
    if (controller.rootHub) walk(*controller.rootHub);
  for (std::size_t i = 0; i < model.otherDevices.size(); ++i) {
    const model::OtherDevice& other = model.otherDevices[i];
    std::snprintf(number, sizeof number, "%04zu", i);
    WriteEntry(reg, std::string(kOtherEnum) + "\\" + number, other.driverKey, other.friendlyName,
               other.databaseFaults, {});
  }

  // Wine answers GetComputerNameA from the active computer name key; the other one is what a
  // restart would make active.
  for (const char* which : {"ComputerName", "ActiveComputerName"}) {
    reg.Key(std::string("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ComputerName\\") + which);
    reg.String("ComputerName", model.computerName.value_or(""));
    reg.End();
  }
  return reg.Bytes();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) std::cerr << "keldar_usbsim: " << path << ": cannot write\n";
  return static_cast<bool>(file);
}

int Usage() {
  std::cerr << "usage: keldar_usbsim image TOPOLOGY IMAGE REG\n"
               "       keldar_usbsim check TOPOLOGY\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  try {
    if ((args[0] == "check" && args.size() == 2) || (args[0] == "image" && args.size() == 4)) {
      const model::UsbModel model = LoadTopologyFile(args[1]);
      Checker checker;
      checker.Model(model);
      for (const std::string& reason : checker.reasons)
        std::cerr << args[1] << ": cannot be simulated: " << reason << '\n';
      if (!checker.reasons.empty()) return 3;
      if (args[0] == "check") return 0;
      return WriteFile(args[2], MachineImage(model)) && WriteFile(args[3], DeviceDatabase(model)) ? 0 : 1;
    }
  } catch (const TopologyError& error) {
    std::cerr << "keldar_usbsim: " << error.what() << '\n';
    return 2;
  } catch (const std::exception& error) {
    std::cerr << "keldar_usbsim: " << error.what() << '\n';
    return 2;
  }
  return Usage();
}
