#include "model/topology_file.h"

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <type_traits>
#include <sstream>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/name_reply.h"
#include "platform/records.h"
#include "text/text_codec.h"

// Open flags that only some systems have: Windows has no FIFO to wait on nor terminal to
// become, and opens in text mode unless told otherwise.
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace keldar {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr std::string_view kFormat = "keldar-topology";
constexpr std::uint64_t kVersion = 1;
constexpr std::uint64_t kMaxU16 = 0xFFFF;
constexpr std::uint64_t kMaxU32 = 0xFFFFFFFF;

// The topology's own fault, in the file's top-level "faults" object.
struct TopologyFaults {
  bool deviceSetFails = false;

  template <typename Visit, typename Self>
  static constexpr void Fields(Visit&& visit, Self& self) {
    visit("deviceSetFails", self.deviceSetFails);
  }
};

// The names a record lists, in its order.
template <typename Record>
std::vector<std::string_view> FieldNames() {
  std::vector<std::string_view> names;
  Record record;
  Record::Fields([&names](std::string_view name, const auto&) { names.push_back(name); }, record);
  return names;
}

std::string Child(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string Element(const std::string& path, std::size_t index) {
  return path + "[" + std::to_string(index) + "]";
}

std::string Quoted(std::string_view text) {
  constexpr std::size_t kShown = 60;
  std::string shown(text.substr(0, kShown));
  std::string quoted = json(shown).dump(-1, ' ', false, json::error_handler_t::replace);
  if (text.size() > kShown) quoted.insert(quoted.size() - 1, "...");
  return quoted;
}

// How a value reads in "got ..." of an error.
std::string Describe(const json& value) {
  switch (value.type()) {
    case json::value_t::null: return "null";
    case json::value_t::boolean: return value.get<bool>() ? "true" : "false";
    case json::value_t::string: return "the string " + Quoted(value.get_ref<const std::string&>());
    case json::value_t::array: return "an array";
    // Only a number written with a minus sign is signed: a signed 0 was written "-0".
    case json::value_t::number_integer:
      return value.get<std::int64_t>() == 0 ? "-0" : value.dump();
    case json::value_t::object: return "an object";
    default: return value.dump();
  }
}

// The deepest a topology file goes: four levels down to a root hub (the document,
// "controllers", a controller, its "rootHub"), four for each hub chained below it ("ports", a
// port, its "device", the device's "hub") and four inside the last one (down to a device's
// "descriptor"). One hub more than the model holds is let through, so that the reader names
// the chain itself.
constexpr std::size_t kMaxDepth = 4 + 4 * (model::kMaxHubNesting + 2) + 4;

// Builds the document in one pass through the library's event interface, and notes the first
// key that an object repeats (the document keeps only the last value) with its path. The
// library's own callback parser rescans the enclosing array after every object, which made
// reading quadratic in the number of objects; this builder does constant work per event.
class DocumentBuilder {
 public:
  DocumentBuilder() = default;
  DocumentBuilder(const DocumentBuilder&) = delete;
  DocumentBuilder& operator=(const DocumentBuilder&) = delete;
  // The library's own destructor first gathers a container's elements in a new vector: out of
  // memory, that allocation ends the program from inside a destructor. Taken apart from the
  // leaves up, each container is empty when it goes and nothing is allocated.
  ~DocumentBuilder() { Dismantle(root_); }

  bool null() { return Put(json(nullptr)); }
  bool boolean(bool value) { return Put(json(value)); }
  bool number_integer(json::number_integer_t value) { return Put(json(value)); }
  bool number_unsigned(json::number_unsigned_t value) { return Put(json(value)); }
  bool number_float(json::number_float_t value, const std::string& /*text*/) {
    return Put(json(value));
  }
  bool string(std::string& value) { return Put(json(std::move(value))); }
  bool binary(json::binary_t& value) { return Put(json(std::move(value))); }
  bool start_object(std::size_t /*elements*/) { return Open(json::object(), false); }
  bool start_array(std::size_t /*elements*/) { return Open(json::array(), true); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool key(std::string& key) {
    Frame& frame = frames_.back();
    frame.key = key;
    if (!frame.keys.insert(key).second && !repeated_) repeated_ = CurrentPath();
    return true;
  }
  bool parse_error(std::size_t position, const std::string& /*lastToken*/,
                   const nlohmann::detail::exception& error) {
    errorPosition_ = position;
    errorText_ = error.what();
    return false;
  }

  json& Document() { return root_; }
  // The path of the first repeated key.
  const std::optional<std::string>& Repeated() const { return repeated_; }
  std::size_t ErrorPosition() const { return errorPosition_; }
  const std::string& ErrorText() const { return errorText_; }
  // The path of the first object or array nested deeper than a topology file goes.
  const std::optional<std::string>& TooDeep() const { return tooDeep_; }

 private:
  struct Frame {
    json* value;
    bool isArray;
    std::string key;
    std::set<std::string> keys;
  };

  json* Place(json&& value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Frame& frame = frames_.back();
    if (frame.isArray) {
      frame.value->push_back(std::move(value));
      return &frame.value->back();
    }
    json& slot = (*frame.value)[frame.key];
    slot = std::move(value);
    return &slot;
  }

  bool Put(json&& value) {
    Place(std::move(value));
    return true;
  }

  bool Open(json&& container, bool isArray) {
    json* placed = Place(std::move(container));
    // Refused as soon as it is seen: a file of nothing but brackets would otherwise be built
    // whole, a hundred bytes of memory per byte of file, before the reader refused it.
    if (frames_.size() == kMaxDepth) {
      tooDeep_ = CurrentPath();
      return false;
    }
    frames_.push_back({placed, isArray, {}, {}});
    return true;
  }

  bool Close() {
    frames_.pop_back();
    return true;
  }

  // Recursion is bounded by kMaxDepth.
  static void Dismantle(json& value) {
    if (value.is_array()) {
      while (!value.empty()) {
        Dismantle(value.back());
        value.erase(value.size() - 1);
      }
    } else if (value.is_object()) {
      while (!value.empty()) {
        Dismantle(value.begin().value());
        value.erase(value.begin());
      }
    }
  }

  // Built only when needed: a path per level of a deeply nested file would cost its square.
  std::string CurrentPath() const {
    std::string path;
    for (const Frame& frame : frames_)
      path = frame.isArray ? Element(path, frame.value->size() - 1) : Child(path, frame.key);
    return path;
  }

  json root_;
  std::vector<Frame> frames_;
  std::optional<std::string> repeated_;
  std::optional<std::string> tooDeep_;
  std::size_t errorPosition_ = 0;
  std::string errorText_;
};

class Reader {
 public:
  explicit Reader(std::string source) : source_(std::move(source)) {}

  model::UsbModel ReadModel(const json& root) {
    const std::string path;
    RequireObject(root, path);
    CheckKeys(root, path, {"format", "version", "computerName", "ansiCodePage", "controllers",
                           "otherDevices", "faults", "warnings", "driverKeysArePorts",
                           "environment"});
    const json& format = Require(root, path, "format");
    if (!format.is_string() || format.get_ref<const std::string&>() != kFormat)
      Fail(Child(path, "format"), "\"keldar-topology\"", Describe(format));
    const json& version = Require(root, path, "version");
    if (!version.is_number_unsigned() || version.get<std::uint64_t>() != kVersion)
      Fail(Child(path, "version"), "1", Describe(version));

    model::UsbModel model;
    // The code page first: the texts' limits are counted in it.
    if (const json* codePage = Find(root, "ansiCodePage")) {
      const std::string where = Child(path, "ansiCodePage");
      const auto value = static_cast<unsigned>(ReadInteger(*codePage, where, kMaxU16));
      // A code page whose converter is missing here is read: what to make of it is the
      // program's to decide (the console refuses it, naming what is missing).
      if (!IsKnownCodePage(value))
        Fail(where, "a code page this build converts (936, 1252, 437, 65001, ...)",
             Describe(*codePage));
      model.ansiCodePage = value;
    }
    codePage_ = model.ansiCodePage;
    if (const json* ports = Find(root, "driverKeysArePorts"))
      model.driverKeysArePorts = ReadBool(*ports, Child(path, "driverKeysArePorts"));
    if (const json* name = Find(root, "computerName")) {
      const std::string where = Child(path, "computerName");
      model.computerName = ReadString(*name, where);
      LimitAnsi(*model.computerName, where, kComputerNameBufferSize,
                "GetComputerNameA's buffer of " + std::to_string(kComputerNameBufferSize) +
                    " bytes");
    }

    const std::string controllersPath = Child(path, "controllers");
    const json& controllers = Require(root, path, "controllers");
    RequireArray(controllers, controllersPath);
    std::map<unsigned, std::size_t> links;  // HCD link number -> the controller it opens
    for (std::size_t i = 0; i < controllers.size(); ++i) {
      model.controllers.push_back(ReadController(controllers[i], Element(controllersPath, i)));
      const auto number = model::HcdNumber(model, i);
      if (!number) continue;
      const auto [where, added] = links.emplace(*number, i);
      if (!added)
        Fail(Element(controllersPath, i),
             "an HCD link number not used by another controller (" +
                 Element(controllersPath, where->second) + ")",
             std::to_string(*number));
    }

    if (const json* others = Find(root, "otherDevices")) {
      const std::string othersPath = Child(path, "otherDevices");
      RequireArray(*others, othersPath);
      for (std::size_t i = 0; i < others->size(); ++i)
        model.otherDevices.push_back(ReadOtherDevice((*others)[i], Element(othersPath, i)));
    }

    TopologyFaults faults;
    ReadFaults(root, path, faults);
    model.deviceSetFails = faults.deviceSetFails;

    // What the source could not be read for, kept so that a replay warns as the detection did.
    if (const json* warnings = Find(root, "warnings")) {
      const std::string warningsPath = Child(path, "warnings");
      RequireArray(*warnings, warningsPath);
      for (std::size_t i = 0; i < warnings->size(); ++i)
        model.warnings.push_back(ReadString((*warnings)[i], Element(warningsPath, i)));
    }
    if (const json* environment = Find(root, "environment"))
      model.environment = ReadEnvironment(*environment, Child(path, "environment"));
    return model;
  }

  // Each fact only where the source recorded it.
  model::Environment ReadEnvironment(const json& value, const std::string& path) {
    RequireObject(value, path);
    CheckKeys(value, path, {"remoteSession", "systemManufacturer", "systemProductName"});
    model::Environment environment;
    if (const json* remote = Find(value, "remoteSession"))
      environment.remoteSession = ReadBool(*remote, Child(path, "remoteSession"));
    if (const json* text = Find(value, "systemManufacturer"))
      environment.systemManufacturer = ReadString(*text, Child(path, "systemManufacturer"));
    if (const json* text = Find(value, "systemProductName"))
      environment.systemProductName = ReadString(*text, Child(path, "systemProductName"));
    return environment;
  }

  [[noreturn]] void Fail(const std::string& path, const std::string& expected,
                         const std::string& got) const {
    throw TopologyError(source_ + ": " + (path.empty() ? "top level" : path) + ": expected " +
                        expected + ", got " + got);
  }

 private:
  model::Controller ReadController(const json& value, const std::string& path) {
    RequireObject(value, path);
    CheckKeys(value, path, {"hcdNumber", "driverKey", "friendlyName", "rootHub", "faults"});
    model::Controller controller;
    if (const json* number = Find(value, "hcdNumber")) {
      if (number->is_null())
        controller.hcdNumber = model::kNoHcdLink;
      else if (number->is_number_unsigned() && number->get<std::uint64_t>() < model::kHcdLinks)
        controller.hcdNumber = number->get<int>();
      else
        Fail(Child(path, "hcdNumber"), "an HCD link number from 0 to 9, or null", Describe(*number));
    }
    if (const json* key = Find(value, "driverKey"))
    {
      controller.driverKey = ReadName(*key, Child(path, "driverKey"), kControllerNameHeaderSize);
      // The driver key is also the database entry's SPDRP_DRIVER.
      LimitProperty(controller.driverKey, Child(path, "driverKey"));
    }
    if (const json* name = Find(value, "friendlyName"))
      controller.friendlyName = ReadProperty(*name, Child(path, "friendlyName"));
    if (const json* hub = Find(value, "rootHub"))
      controller.rootHub = ReadHub(*hub, Child(path, "rootHub"), 0);
    ReadFaults(value, path, controller.faults, controller.databaseFaults);
    return controller;
  }

  model::Owned<model::Hub> ReadHub(const json& value, const std::string& path, int nesting) {
    if (nesting > model::kMaxHubNesting)
      Fail(path, "at most " + std::to_string(model::kMaxHubNesting) + " hubs chained below a root hub",
           "more");
    RequireObject(value, path);
    CheckKeys(value, path, {"name", "busPowered", "hubDescriptor", "ports", "faults"});
    auto hub = std::make_unique<model::Hub>();
    const std::string namePath = Child(path, "name");
    hub->name = ReadName(Require(value, path, "name"), namePath,
                         nesting == 0 ? kControllerNameHeaderSize : kConnectionNameHeaderSize);
    // "\\.\HCDn" opens controller n: a hub of that name could never be opened as a hub.
    if (model::ControllerNumber(hub->name))
      Fail(namePath, "a hub name that is not a controller's (HCD and a number)",
           Describe(json(hub->name)));
    // An empty name never opens, so it cannot clash with another.
    if (!hub->name.empty()) {
      const auto [where, added] = hubNames_.emplace(hub->name, namePath);
      if (!added) Fail(namePath, "a hub name not used before (" + where->second + ")",
                       Describe(json(hub->name)));
    }
    if (const json* busPowered = Find(value, "busPowered"))
      hub->busPowered = ReadBool(*busPowered, Child(path, "busPowered"));

    model::HubDescriptor& d = hub->descriptor;
    ReadDescriptor(Require(value, path, "hubDescriptor"), Child(path, "hubDescriptor"), d,
                   "bNumberOfPorts");

    if (const json* ports = Find(value, "ports")) {
      const std::string portsPath = Child(path, "ports");
      RequireArray(*ports, portsPath);
      std::map<int, std::size_t> seen;  // port number -> its index in the array
      for (std::size_t i = 0; i < ports->size(); ++i) {
        const std::string portPath = Element(portsPath, i);
        model::Port port = ReadPort((*ports)[i], portPath, d.bNumberOfPorts, nesting);
        const auto [where, added] = seen.emplace(port.port, i);
        if (!added)
          Fail(Child(portPath, "port"),
               "a port number not used before on this hub (" + Element(portsPath, where->second) +
                   ")",
               std::to_string(port.port));
        hub->ports.push_back(std::move(port));
      }
      std::stable_sort(hub->ports.begin(), hub->ports.end(),
                       [](const model::Port& a, const model::Port& b) { return a.port < b.port; });
    }

    ReadFaults(value, path, hub->faults);
    return hub;
  }

  model::Port ReadPort(const json& value, const std::string& path, int portCount, int nesting) {
    RequireObject(value, path);
    CheckKeys(value, path, {"port", "connectionStatus", "device", "faults"});
    model::Port port;
    const std::string numberPath = Child(path, "port");
    const json& number = Require(value, path, "port");
    const std::uint64_t n = ReadInteger(number, numberPath, kMaxU32);
    // A port the hub does not have would never be asked for: the file is wrong.
    if (n < 1 || n > static_cast<std::uint64_t>(portCount))
      Fail(numberPath,
           portCount == 0 ? "no port (the hub's bNumberOfPorts is 0)"
                          : "a port number from 1 to " + std::to_string(portCount) +
                                " (the hub's bNumberOfPorts)",
           Describe(number));
    port.port = static_cast<int>(n);
    if (const json* status = Find(value, "connectionStatus"))
      port.connectionStatus = static_cast<std::uint32_t>(
          ReadInteger(*status, Child(path, "connectionStatus"), kMaxU32));
    if (const json* device = Find(value, "device"))
      port.device = ReadDevice(*device, Child(path, "device"), nesting);
    ReadFaults(value, path, port.faults);
    return port;
  }

  model::Owned<model::Device> ReadDevice(const json& value, const std::string& path,
                                            int nesting) {
    RequireObject(value, path);
    CheckKeys(value, path, {"descriptor", "lowSpeed", "deviceAddress",
                            "currentConfigurationValue", "driverKey", "friendlyName", "hub",
                            "faults", "windowsState", "linuxState", "usbip"});
    auto device = std::make_unique<model::Device>();

    ReadDescriptor(Require(value, path, "descriptor"), Child(path, "descriptor"),
                   device->descriptor, "idVendor", "idProduct");

    if (const json* lowSpeed = Find(value, "lowSpeed"))
      device->lowSpeed = ReadBool(*lowSpeed, Child(path, "lowSpeed"));
    ReadOptional(value, path, "deviceAddress", device->deviceAddress);
    ReadOptional(value, path, "currentConfigurationValue", device->currentConfigurationValue);
    if (const json* key = Find(value, "driverKey"))
    {
      device->driverKey = ReadName(*key, Child(path, "driverKey"), kConnectionNameHeaderSize);
      LimitProperty(*device->driverKey, Child(path, "driverKey"));
    }
    if (const json* name = Find(value, "friendlyName"))
      device->friendlyName = ReadProperty(*name, Child(path, "friendlyName"));
    if (const json* hub = Find(value, "hub"))
      device->hub = ReadHub(*hub, Child(path, "hub"), nesting + 1);
    ReadFaults(value, path, device->databaseFaults);
    if (const json* state = Find(value, "windowsState"))
      device->windowsState = ReadWindowsState(*state, Child(path, "windowsState"));
    if (const json* state = Find(value, "linuxState"))
      device->linuxState = ReadLinuxState(*state, Child(path, "linuxState"));
    if (const json* usbip = Find(value, "usbip"))
      device->usbip = ReadUsbip(*usbip, Child(path, "usbip"));
    return device;
  }

  model::UsbipAttachment ReadUsbip(const json& value, const std::string& path) const {
    RequireObject(value, path);
    CheckKeys(value, path, {"server", "serverPort", "remoteBusId"});
    model::UsbipAttachment attachment;
    if (const json* server = Find(value, "server"))
      attachment.server = ReadProperty(*server, Child(path, "server"));
    if (const json* port = Find(value, "serverPort"))
      attachment.serverPort = ReadProperty(*port, Child(path, "serverPort"));
    if (const json* busId = Find(value, "remoteBusId"))
      attachment.remoteBusId = ReadProperty(*busId, Child(path, "remoteBusId"));
    return attachment;
  }

  model::WindowsState ReadWindowsState(const json& value, const std::string& path) const {
    RequireObject(value, path);
    CheckKeys(value, path, {"service", "configFlags", "devNodeStatus", "problemCode"});
    model::WindowsState state;
    if (const json* service = Find(value, "service"))
      state.service = ReadProperty(*service, Child(path, "service"));
    if (const json* flags = Find(value, "configFlags"))
      state.configFlags =
          static_cast<std::uint32_t>(ReadInteger(*flags, Child(path, "configFlags"), kMaxU32));
    if (const json* status = Find(value, "devNodeStatus"))
      state.devNodeStatus =
          static_cast<std::uint32_t>(ReadInteger(*status, Child(path, "devNodeStatus"), kMaxU32));
    ReadOptional(value, path, "problemCode", state.problemCode);
    return state;
  }

  model::LinuxState ReadLinuxState(const json& value, const std::string& path) const {
    RequireObject(value, path);
    CheckKeys(value, path, {"authorized", "deviceDriver", "interfaceDrivers", "node", "unread"});
    model::LinuxState state;
    state.authorized = ReadBool(Require(value, path, "authorized"), Child(path, "authorized"));
    if (const json* driver = Find(value, "deviceDriver"))
      state.deviceDriver = ReadProperty(*driver, Child(path, "deviceDriver"));
    if (const json* drivers = Find(value, "interfaceDrivers")) {
      const std::string driversPath = Child(path, "interfaceDrivers");
      RequireArray(*drivers, driversPath);
      // A configuration has at most 255 interfaces.
      if (drivers->size() > 0xFF)
        Fail(driversPath, "at most 255 interfaces", std::to_string(drivers->size()));
      for (std::size_t i = 0; i < drivers->size(); ++i)
        state.interfaceDrivers.push_back(
            ReadProperty((*drivers)[i], Element(driversPath, i)));
    }
    if (const json* node = Find(value, "node")) {
      const std::string nodePath = Child(path, "node");
      RequireObject(*node, nodePath);
      CheckKeys(*node, nodePath, {"path", "uid", "gid", "mode", "openable", "user"});
      model::UsbfsNode usbfs;
      usbfs.path = ReadProperty(Require(*node, nodePath, "path"), Child(nodePath, "path"));
      ReadInto(Require(*node, nodePath, "uid"), Child(nodePath, "uid"), usbfs.uid);
      ReadInto(Require(*node, nodePath, "gid"), Child(nodePath, "gid"), usbfs.gid);
      ReadInto(Require(*node, nodePath, "mode"), Child(nodePath, "mode"), usbfs.mode);
      usbfs.openable =
          ReadBool(Require(*node, nodePath, "openable"), Child(nodePath, "openable"));
      usbfs.user = ReadProperty(Require(*node, nodePath, "user"), Child(nodePath, "user"));
      state.node = std::move(usbfs);
    }
    if (const json* unread = Find(value, "unread")) {
      const std::string unreadPath = Child(path, "unread");
      RequireArray(*unread, unreadPath);
      for (std::size_t i = 0; i < unread->size(); ++i) {
        const std::string at = Element(unreadPath, i);
        const std::string attribute = ReadString((*unread)[i], at);
        const auto& known = model::kLinuxStateAttributes;
        if (std::find(std::begin(known), std::end(known), attribute) == std::end(known))
          Fail(at, "\"authorized\" or \"bConfigurationValue\"", Describe((*unread)[i]));
        if (std::find(state.unread.begin(), state.unread.end(), attribute) != state.unread.end())
          Fail(at, "each attribute once", Describe((*unread)[i]));
        state.unread.push_back(attribute);
      }
    }
    return state;
  }

  model::OtherDevice ReadOtherDevice(const json& value, const std::string& path) {
    RequireObject(value, path);
    CheckKeys(value, path, {"driverKey", "friendlyName", "faults"});
    model::OtherDevice other;
    if (const json* key = Find(value, "driverKey"))
      other.driverKey = ReadProperty(*key, Child(path, "driverKey"));
    if (const json* name = Find(value, "friendlyName"))
      other.friendlyName = ReadProperty(*name, Child(path, "friendlyName"));
    ReadFaults(value, path, other.databaseFaults);
    return other;
  }

  // A descriptor object: each listed field an integer of the field's size. The `required`
  // fields are read first, then the others in their listed order.
  template <typename Descriptor, typename... Required>
  void ReadDescriptor(const json& value, const std::string& path, Descriptor& descriptor,
                      const Required&... required) const {
    RequireObject(value, path);
    CheckKeys(value, path, FieldNames<Descriptor>());
    const auto isRequired = [&](std::string_view key) { return ((key == required) || ...); };
    for (const std::string_view name : {std::string_view(required)...})
      Descriptor::Fields(
          [&](std::string_view key, auto& field) {
            if (key == name) ReadInto(Require(value, path, key), Child(path, key), field);
          },
          descriptor);
    Descriptor::Fields(
        [&](std::string_view key, auto& field) {
          if (const json* given = Find(value, key); given != nullptr && !isRequired(key))
            ReadInto(*given, Child(path, key), field);
        },
        descriptor);
  }

  // The owner's "faults" object, when it has one: the fields of the fault records handed in,
  // by their names; a flag true or false, a name fault by its spelling.
  template <typename... Faults>
  void ReadFaults(const json& owner, const std::string& path, Faults&... faults) const {
    const json* value = Find(owner, "faults");
    if (value == nullptr) return;
    const std::string faultsPath = Child(path, "faults");
    RequireObject(*value, faultsPath);
    std::vector<std::string_view> keys;
    for (const auto& names : {FieldNames<Faults>()...})
      keys.insert(keys.end(), names.begin(), names.end());
    CheckKeys(*value, faultsPath, keys);
    const auto read = [&](std::string_view key, auto& field) {
      if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, bool>)
        field = ReadFlag(*value, faultsPath, key);
      else
        field = ReadNameFault(*value, faultsPath, key);
    };
    (Faults::Fields(read, faults), ...);
  }

  // --- values

  void RequireObject(const json& value, const std::string& path) const {
    if (!value.is_object()) Fail(path, "an object", Describe(value));
  }

  void RequireArray(const json& value, const std::string& path) const {
    if (!value.is_array()) Fail(path, "an array", Describe(value));
  }

  void CheckKeys(const json& object, const std::string& path,
                 const std::vector<std::string_view>& allowed) const {
    for (const auto& item : object.items()) {
      if (std::find(allowed.begin(), allowed.end(), item.key()) != allowed.end()) continue;
      std::string list;
      for (std::string_view key : allowed) list += (list.empty() ? "" : ", ") + std::string(key);
      Fail(Child(path, item.key()), "one of the keys " + list, "an unknown key");
    }
  }

  static const json* Find(const json& object, std::string_view key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
  }

  const json& Require(const json& object, const std::string& path, std::string_view key) const {
    const json* value = Find(object, key);
    if (value == nullptr) Fail(Child(path, key), "a value (the key is required)", "none");
    return *value;
  }

  // An integer as a JSON number or as a "0x" string of hex digits.
  std::uint64_t ReadInteger(const json& value, const std::string& path, std::uint64_t max) const {
    const std::string expected =
        "an integer from 0 to " + std::to_string(max) + " or a \"0x\" hex string";
    if (value.is_number_unsigned()) {
      const auto n = value.get<std::uint64_t>();
      if (n > max) Fail(path, expected, Describe(value));
      return n;
    }
    if (!value.is_string()) Fail(path, expected, Describe(value));
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() < 3 || text.compare(0, 2, "0x") != 0) Fail(path, expected, Describe(value));
    std::uint64_t n = 0;
    const char* digits = text.data() + 2;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(digits, end, n, 16);
    if (error != std::errc() || stop != end || n > max) Fail(path, expected, Describe(value));
    return n;
  }

  // An integer no larger than `field` holds.
  template <typename Field>
  void ReadInto(const json& value, const std::string& path, Field& field) const {
    field = static_cast<Field>(ReadInteger(value, path, Field(~Field(0))));
  }

  template <typename Field>
  void ReadOptional(const json& object, const std::string& path, std::string_view key,
                    Field& field) const {
    if (const json* value = Find(object, key)) ReadInto(*value, Child(path, key), field);
  }

  bool ReadBool(const json& value, const std::string& path) const {
    if (!value.is_boolean()) Fail(path, "true or false", Describe(value));
    return value.get<bool>();
  }

  bool ReadFlag(const json& faults, const std::string& path, std::string_view key) const {
    const json* value = Find(faults, key);
    return value != nullptr && ReadBool(*value, Child(path, key));
  }

  std::string ReadString(const json& value, const std::string& path) const {
    if (!value.is_string()) Fail(path, "a string", Describe(value));
    return value.get<std::string>();
  }

  // A text the platform answers in a name reply of `header` bytes before the UTF-16 units and
  // the 0 unit. A reply is at most
  // kMaxNameReplySize bytes: a longer text would reach the detection as no text at all.
  std::string ReadName(const json& value, const std::string& path, std::size_t header) const {
    std::string text = ReadString(value, path);
    const std::size_t units = Utf8ToUtf16(text).size();
    const std::size_t limit = (kMaxNameReplySize - header - 2) / 2;
    if (units > limit)
      Fail(path,
           "a text of at most " + std::to_string(limit) + " UTF-16 units (a name reply of " +
               std::to_string(kMaxNameReplySize) + " bytes)",
           "one of " + std::to_string(units));
    return text;
  }

  // A device property: read in the ANSI code page, terminator included, into at most
  // kMaxNameReplySize bytes.
  std::string ReadProperty(const json& value, const std::string& path) const {
    std::string text = ReadString(value, path);
    LimitProperty(text, path);
    return text;
  }

  void LimitProperty(const std::string& text, const std::string& path) const {
    LimitAnsi(text, path, kMaxNameReplySize,
              "a device property read of " + std::to_string(kMaxNameReplySize) + " bytes");
  }

  // `buffer` bytes hold the text in the file's ANSI code page and its terminator.
  void LimitAnsi(const std::string& text, const std::string& path, std::size_t buffer,
                 const std::string& what) const {
    // Each UTF-8 byte becomes at most one ANSI byte (GBK: 2 bytes for 3): no need to convert
    // what is short enough already.
    if (text.size() < buffer) return;
    const std::size_t bytes = Utf8ToAnsi(text, codePage_).size();
    if (bytes >= buffer)
      Fail(path,
           "a text of at most " + std::to_string(buffer - 1) + " bytes in code page " +
               std::to_string(codePage_) + " (" + what + ")",
           "one of " + std::to_string(bytes));
  }

  model::NameFault ReadNameFault(const json& faults, const std::string& path,
                                 std::string_view key) const {
    const json* value = Find(faults, key);
    if (value == nullptr) return model::NameFault::None;
    if (value->is_string())
      if (const auto fault = model::ParseNameFault(value->get_ref<const std::string&>()))
        return *fault;
    Fail(Child(path, key),
         "one of \"none\", \"probeFails\", \"absurdLength\", \"fetchFails\", "
         "\"conversionFails\", \"bareHeader\", \"shortLength\", \"oddLength\", \"noTerminator\"",
         Describe(*value));
  }

  std::string source_;
  unsigned codePage_ = 936;
  std::map<std::string, std::string> hubNames_;  // name -> path of the hub that has it
};

std::string TooLarge() {
  return "it is longer than the limit of " + std::to_string(kMaxTopologyFileSize) +
         " bytes (64 MiB); a machine with 50,000 USB devices takes about 13 MB";
}

// Line and column (from 1) of the byte at `offset` (from 0).
std::pair<std::size_t, std::size_t> LineAndColumn(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return {line, column};
}

// --- writing

std::string Hex16(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(value));
  return text;
}

std::string Hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

ordered_json WriteHub(const model::Hub& hub);

template <typename Descriptor>
ordered_json WriteDescriptor(const Descriptor& descriptor) {
  ordered_json out = ordered_json::object();
  Descriptor::Fields(
      [&out](std::string_view key, const auto& field) {
        // The two-byte fields are IDs, BCD versions and characteristic bits: read as hex.
        if constexpr (sizeof(field) == 2)
          out[std::string(key)] = Hex16(field);
        else
          out[std::string(key)] = field;
      },
      descriptor);
  return out;
}

// The "faults" object of the fault records handed in, holding what is set; none when nothing is.
template <typename... Faults>
void WriteFaults(ordered_json& out, const Faults&... faults) {
  ordered_json object = ordered_json::object();
  const auto write = [&object](std::string_view key, const auto& field) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(field)>, bool>) {
      if (field) object[std::string(key)] = true;
    } else if (field != model::NameFault::None) {
      object[std::string(key)] = model::NameFaultName(field);
    }
  };
  (Faults::Fields(write, faults), ...);
  if (!object.empty()) out["faults"] = std::move(object);
}

ordered_json WriteDevice(const model::Device& device) {
  ordered_json out = ordered_json::object();
  out["descriptor"] = WriteDescriptor(device.descriptor);
  out["lowSpeed"] = device.lowSpeed;
  out["deviceAddress"] = device.deviceAddress;
  out["currentConfigurationValue"] = device.currentConfigurationValue;
  if (device.driverKey) out["driverKey"] = *device.driverKey;
  if (device.friendlyName) out["friendlyName"] = *device.friendlyName;
  if (device.hub) out["hub"] = WriteHub(*device.hub);
  WriteFaults(out, device.databaseFaults);
  if (const auto& state = device.windowsState) {
    ordered_json windows = ordered_json::object();
    if (state->service) windows["service"] = *state->service;
    if (state->configFlags) windows["configFlags"] = Hex32(*state->configFlags);
    if (state->devNodeStatus) windows["devNodeStatus"] = Hex32(*state->devNodeStatus);
    windows["problemCode"] = Hex32(state->problemCode);
    out["windowsState"] = std::move(windows);
  }
  if (const auto& state = device.linuxState) {
    ordered_json kernel = ordered_json::object();
    kernel["authorized"] = state->authorized;
    if (state->deviceDriver) kernel["deviceDriver"] = *state->deviceDriver;
    kernel["interfaceDrivers"] = state->interfaceDrivers;
    if (const auto& node = state->node)
      kernel["node"] = {{"path", node->path}, {"uid", node->uid},
                        {"gid", node->gid},   {"mode", Hex32(node->mode)},
                        {"openable", node->openable}, {"user", node->user}};
    if (!state->unread.empty()) kernel["unread"] = state->unread;
    out["linuxState"] = std::move(kernel);
  }
  if (const auto& usbip = device.usbip) {
    ordered_json attachment = ordered_json::object();
    if (usbip->server) attachment["server"] = *usbip->server;
    if (usbip->serverPort) attachment["serverPort"] = *usbip->serverPort;
    if (usbip->remoteBusId) attachment["remoteBusId"] = *usbip->remoteBusId;
    out["usbip"] = std::move(attachment);
  }
  return out;
}

ordered_json WritePort(const model::Port& port) {
  ordered_json out = ordered_json::object();
  out["port"] = port.port;
  if (port.connectionStatus) out["connectionStatus"] = *port.connectionStatus;
  if (port.device) out["device"] = WriteDevice(*port.device);
  WriteFaults(out, port.faults);
  return out;
}

ordered_json WriteHub(const model::Hub& hub) {
  ordered_json out = ordered_json::object();
  out["name"] = hub.name;
  out["busPowered"] = hub.busPowered;
  out["hubDescriptor"] = WriteDescriptor(hub.descriptor);
  ordered_json portList = ordered_json::array();
  for (const model::Port* port : model::PortsInOrder(hub)) portList.push_back(WritePort(*port));
  out["ports"] = std::move(portList);
  WriteFaults(out, hub.faults);
  return out;
}

ordered_json WriteController(const model::Controller& controller) {
  ordered_json out = ordered_json::object();
  if (controller.hcdNumber)
    out["hcdNumber"] = *controller.hcdNumber == model::kNoHcdLink ? ordered_json(nullptr)
                                                                  : ordered_json(*controller.hcdNumber);
  if (!controller.driverKey.empty()) out["driverKey"] = controller.driverKey;
  if (controller.friendlyName) out["friendlyName"] = *controller.friendlyName;
  if (controller.rootHub) out["rootHub"] = WriteHub(*controller.rootHub);
  WriteFaults(out, controller.faults, controller.databaseFaults);
  return out;
}

}  // namespace

model::UsbModel ReadTopology(std::string_view text, const std::string& sourceName) {
  // UTF-16 text starts with its byte order mark, or has a 0 byte beside the character JSON
  // text starts with ("{", or white space).
  const auto byte = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0x100u; };
  const auto opens = [](unsigned c) {
    return c == '{' || c == '[' || c == ' ' || c == '\t' || c == '\r' || c == '\n';
  };
  if ((byte(0) == 0xFF && byte(1) == 0xFE) || (byte(0) == 0xFE && byte(1) == 0xFF) ||
      (byte(0) == 0 && opens(byte(1))) || (opens(byte(0)) && byte(1) == 0))
    throw TopologyError(sourceName +
                        ": the file is UTF-16 text; a topology file must be UTF-8 (JSON)");
  // No text starts with a control character: an archive, a program or an image does.
  std::size_t first = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
  while (first < text.size() && opens(byte(first)) && byte(first) != '{' && byte(first) != '[')
    ++first;
  if (first < text.size() && (byte(first) < 0x20 || byte(first) == 0x7F)) {
    char shown[8];
    std::snprintf(shown, sizeof shown, "0x%02X", byte(first));
    throw TopologyError(sourceName + ": the file is not text (it starts with the byte " + shown +
                        "); a topology file must be UTF-8 (JSON)");
  }
  // The JSON library takes a 0 byte for the end of its input and would ignore what follows.
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    const auto [line, col] = LineAndColumn(text, nul);
    throw TopologyError(sourceName + ":" + std::to_string(line) + ":" + std::to_string(col) +
                        ": malformed JSON: a 0 byte, which JSON text never holds");
  }

  DocumentBuilder builder;
  bool parsed = false;
  try {
    parsed = json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const json::exception& error) {
    throw TopologyError(sourceName + ": malformed JSON: " + error.what());
  }
  if (const auto& deep = builder.TooDeep())
    Reader(sourceName).Fail(*deep, "at most " + std::to_string(kMaxDepth) +
                                       " levels of nested objects and arrays (" +
                                       std::to_string(model::kMaxHubNesting) +
                                       " hubs chained below a root hub)",
                            "deeper");
  if (!parsed) {
    // The library's message starts with its own exception name and, for syntax errors,
    // repeats the position; keep the reason only.
    std::string reason = builder.ErrorText();
    if (const std::size_t name = reason.find("] "); reason.rfind("[json.exception.", 0) == 0 &&
                                                     name != std::string::npos)
      reason = reason.substr(name + 2);
    if (const std::size_t column = reason.find(", column "); column != std::string::npos) {
      const std::size_t colon = reason.find(": ", column);
      if (colon != std::string::npos) reason = reason.substr(colon + 2);
    }
    const std::size_t position = builder.ErrorPosition();
    const auto [line, col] = LineAndColumn(text, position == 0 ? 0 : position - 1);
    throw TopologyError(sourceName + ":" + std::to_string(line) + ":" + std::to_string(col) +
                        ": malformed JSON: " + reason);
  }
  Reader reader(sourceName);
  if (const auto& found = builder.Repeated())
    reader.Fail(*found, "each key once in an object", "this key again");
  try {
    return reader.ReadModel(builder.Document());
  } catch (const json::exception& error) {
    // Every access above is checked first; this only keeps the promise of TopologyError.
    throw TopologyError(sourceName + ": " + error.what());
  }
}

model::UsbModel LoadTopologyFile(const std::string& path) {
  const auto fail = [&path](const std::string& reason) {
    return TopologyError(path + ": cannot read the topology file: " + reason);
  };
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) throw fail("it is a directory");
  // Opened without waiting, and read only when it is a regular file: the open of a FIFO
  // would wait for a writer for ever (and a watch with it), a device may have no end.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_BINARY);
  if (fd < 0) throw fail(std::strerror(errno));
  // Closed on every way out, an allocation failure among them: a watch re-reads the file.
  const std::unique_ptr<const int, void (*)(const int*)> closer(&fd, [](const int* open) {
    ::close(*open);
  });
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) throw fail("not a regular file");
  // Read in pieces and never past the limit: the file may grow while it is read.
  std::string content;
  char piece[1 << 16];
  for (;;) {
    const auto got = ::read(fd, piece, sizeof piece);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw fail(std::strerror(errno));
    if (got == 0) break;
    content.append(piece, static_cast<std::size_t>(got));
    if (content.size() > kMaxTopologyFileSize) throw fail(TooLarge());
  }
  return ReadTopology(content, path);
}

std::string WriteTopology(const model::UsbModel& model) {
  ordered_json root = ordered_json::object();
  root["format"] = kFormat;
  root["version"] = kVersion;
  if (model.computerName) root["computerName"] = *model.computerName;
  root["ansiCodePage"] = model.ansiCodePage;
  if (model.driverKeysArePorts) root["driverKeysArePorts"] = true;
  ordered_json controllers = ordered_json::array();
  for (const model::Controller& controller : model.controllers)
    controllers.push_back(WriteController(controller));
  root["controllers"] = std::move(controllers);
  if (!model.otherDevices.empty()) {
    ordered_json others = ordered_json::array();
    for (const model::OtherDevice& other : model.otherDevices) {
      ordered_json entry = ordered_json::object();
      if (other.driverKey) entry["driverKey"] = *other.driverKey;
      if (other.friendlyName) entry["friendlyName"] = *other.friendlyName;
      WriteFaults(entry, other.databaseFaults);
      others.push_back(std::move(entry));
    }
    root["otherDevices"] = std::move(others);
  }
  WriteFaults(root, TopologyFaults{model.deviceSetFails});
  if (!model.warnings.empty()) root["warnings"] = model.warnings;
  if (model.environment != model::Environment()) {
    ordered_json environment = ordered_json::object();
    const model::Environment& facts = model.environment;
    if (facts.remoteSession) environment["remoteSession"] = *facts.remoteSession;
    if (facts.systemManufacturer) environment["systemManufacturer"] = *facts.systemManufacturer;
    if (facts.systemProductName) environment["systemProductName"] = *facts.systemProductName;
    root["environment"] = std::move(environment);
  }
  // Texts from a live machine are not always valid UTF-8; they are written with U+FFFD rather
  // than refused.
  return root.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace keldar
