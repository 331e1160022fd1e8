#include "model/topology_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace model = keldar::model;
using keldar::ReadTopology;
using keldar::TopologyError;
using keldar::WriteTopology;

const std::string kDataDir = std::string(KELDAR_TEST_DATA_DIR) + "/model/";

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The message of the TopologyError that reading `json` raises ("" when it reads fine).
std::string ErrorOf(const std::string& json) {
  try {
    ReadTopology(json, "bad.json");
  } catch (const TopologyError& error) {
    return error.what();
  }
  return "";
}

// A file with one controller whose root hub has four ports and the given port list.
std::string WithPorts(const std::string& ports) {
  return R"({"format": "keldar-topology", "version": 1, "controllers": [
            {"rootHub": {"name": "RH", "hubDescriptor": {"bNumberOfPorts": 4},
                         "ports": [)" +
         ports + "]}}]}";
}

std::string WithDevice(const std::string& device) {
  return WithPorts(R"({"port": 1, "device": )" + device + "}");
}

TEST(TopologyRead, FixtureValuesArriveInTheModel) {
  const model::UsbModel m = keldar::LoadTopologyFile(kDataDir + "two-keys-behind-hub.json");
  EXPECT_EQ(m.computerName, "WORKSTATION-7");
  EXPECT_EQ(m.ansiCodePage, 936u);
  ASSERT_EQ(m.controllers.size(), 2u);
  const model::Controller& first = m.controllers[0];
  EXPECT_EQ(first.driverKey, "{36fc9e60-c465-11cf-8056-444553540000}\\0000");
  EXPECT_EQ(first.friendlyName, U8(u8"Intel(R) USB 3.0 可扩展主机控制器 - 1.0 (Microsoft)"));
  ASSERT_TRUE(first.rootHub);
  const model::Hub& root = *first.rootHub;
  // Keys left out take the descriptor's usual values.
  EXPECT_EQ(root.descriptor, (model::HubDescriptor{9, 0x29, 4, 0x00A9, 50, 0}));
  EXPECT_FALSE(root.busPowered);
  ASSERT_EQ(root.ports.size(), 2u);
  EXPECT_EQ(root.ports[1].port, 4);
  EXPECT_EQ(root.ports[1].connectionStatus, 2u);
  EXPECT_FALSE(root.ports[1].device);

  const model::Device& hub = *root.ports[0].device;
  EXPECT_EQ(hub.descriptor, (model::DeviceDescriptor{18, 1, 0x0200, 9, 0, 1, 64, 0x05E3, 0x0608,
                                                     0x8537, 0, 1, 0, 1}));
  EXPECT_EQ(hub.deviceAddress, 3);
  ASSERT_TRUE(hub.hub);
  EXPECT_TRUE(hub.hub->busPowered);
  EXPECT_EQ(hub.hub->descriptor, (model::HubDescriptor{9, 0x29, 4, 0x00E0, 50, 100}));
  // Listed as port 3, then port 1: the model keeps them in port order.
  ASSERT_EQ(hub.hub->ports.size(), 2u);
  EXPECT_EQ(hub.hub->ports[0].port, 1);
  EXPECT_EQ(hub.hub->ports[0].device->descriptor.idVendor, 2414);
  EXPECT_FALSE(hub.hub->ports[0].device->friendlyName);
  const model::Device& key = *hub.hub->ports[1].device;
  EXPECT_EQ(key.descriptor.idVendor, 0x096E);
  EXPECT_EQ(key.descriptor.idProduct, 0x0201);
  EXPECT_TRUE(key.lowSpeed);
  EXPECT_EQ(key.driverKey, "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0012");

  ASSERT_EQ(m.otherDevices.size(), 2u);
  EXPECT_EQ(m.otherDevices[1].driverKey, std::nullopt);
  EXPECT_EQ(m.otherDevices[1].friendlyName, U8(u8"没有驱动程序的设备"));
}

TEST(TopologyRead, EveryFaultKeyReachesTheModel) {
  using F = model::NameFault;
  const model::UsbModel m = keldar::LoadTopologyFile(kDataDir + "every-fault.json");
  EXPECT_EQ(m.ansiCodePage, 1252u);
  EXPECT_FALSE(m.computerName);
  EXPECT_TRUE(m.deviceSetFails);
  const model::Controller& c = m.controllers[0];
  EXPECT_EQ(c.faults, (model::ControllerFaults{false, F::OddLength, F::NoTerminator}));
  EXPECT_EQ(c.databaseFaults, (model::DatabaseFaults{true, true}));
  EXPECT_EQ(c.rootHub->faults, (model::HubFaults{false, true}));
  const std::vector<model::Port>& ports = c.rootHub->ports;
  EXPECT_EQ(ports[0].faults, (model::PortFaults{true, F::None, F::None}));
  EXPECT_EQ(ports[1].connectionStatus, 0xFFFFFFFFu);
  EXPECT_EQ(ports[1].faults, (model::PortFaults{false, F::ProbeFails, F::AbsurdLength}));
  EXPECT_EQ(ports[1].device->descriptor.idVendor, 0xFFFF);
  EXPECT_EQ(ports[1].device->databaseFaults, (model::DatabaseFaults{true, false}));
  EXPECT_EQ(ports[2].faults, (model::PortFaults{false, F::FetchFails, F::BareHeader}));
  EXPECT_EQ(ports[2].device->driverKey, "");
  EXPECT_EQ(ports[2].device->databaseFaults, (model::DatabaseFaults{false, true}));
  EXPECT_EQ(ports[3].faults, (model::PortFaults{false, F::ConversionFails, F::ShortLength}));
  EXPECT_EQ(ports[4].faults, (model::PortFaults{false, F::None, F::NoTerminator}));
  EXPECT_EQ(ports[4].device->hub->faults, (model::HubFaults{true, false}));
  EXPECT_EQ(m.controllers[1].faults, (model::ControllerFaults{true, F::None, F::FetchFails}));
  EXPECT_EQ(m.otherDevices[0].databaseFaults, (model::DatabaseFaults{true, true}));
}

TEST(TopologyRoundTrip, WritingAndReadingBackGivesAnEqualModel) {
  for (const char* name : {"two-keys-behind-hub.json", "every-fault.json", "no-controllers.json"}) {
    SCOPED_TRACE(name);
    const model::UsbModel original = keldar::LoadTopologyFile(kDataDir + name);
    const std::string written = WriteTopology(original);
    const model::UsbModel again = ReadTopology(written, name);
    EXPECT_TRUE(again == original);
    EXPECT_EQ(WriteTopology(again), written);
  }
}

TEST(TopologyWrite, KeysInOrderHexForIdsAndFaultsOnlyWhenSet) {
  model::UsbModel m;
  m.computerName = "PC";
  model::Controller& controller = m.controllers.emplace_back();
  controller.driverKey = "HC0";
  controller.rootHub = std::make_unique<model::Hub>();
  controller.rootHub->name = "RH";
  controller.rootHub->descriptor = {9, 41, 2, 0x0012, 10, 0};
  model::Port& port = controller.rootHub->ports.emplace_back();
  port.port = 2;
  port.faults.driverKeyName = model::NameFault::ProbeFails;
  port.device = std::make_unique<model::Device>();
  port.device->descriptor.idVendor = 0x096E;
  port.device->descriptor.idProduct = 0x0201;
  port.device->deviceAddress = 1;
  port.device->currentConfigurationValue = 1;
  port.device->driverKey = "K1";

  // Every key written, in the order of the file format; ids in hex; only the fault set.
  EXPECT_EQ(WriteTopology(m), ReadFile(kDataDir + "written-keys-in-order.json"));
}

TEST(TopologyWrite, TextThatIsNotUtf8IsWrittenWithReplacementCharacters) {
  model::UsbModel m;
  m.computerName = "PC\xFF";
  EXPECT_NE(WriteTopology(m).find("\"computerName\": \"PC\xEF\xBF\xBD\""), std::string::npos);
}

TEST(TopologyErrors, NameTheFileThePathAndWhatWasExpected) {
  const std::string head = R"({"format": "keldar-topology", "version": 1, )";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[]", "bad.json: top level: expected an object, got an array"},
      {R"({"format": "other", "version": 1, "controllers": []})",
       "bad.json: format: expected \"keldar-topology\", got the string \"other\""},
      {R"({"format": "keldar-topology", "controllers": []})",
       "bad.json: version: expected a value (the key is required), got none"},
      {head + R"("controllers": [], "version": 2})",
       "bad.json: version: expected each key once in an object, got this key again"},
      {R"({"format": "keldar-topology", "version": 2, "controllers": []})",
       "bad.json: version: expected 1, got 2"},
      {head + R"("controllers": [], "extra": 1})",
       "bad.json: extra: expected one of the keys format, version, computerName, "
       "ansiCodePage, controllers, otherDevices, faults, got an unknown key"},
      {head + R"("controllers": {}})", "bad.json: controllers: expected an array, got an object"},
      {head + R"("controllers": [], "ansiCodePage": 4242})",
       "bad.json: ansiCodePage: expected a code page this build converts (936, 1252, 437, "
       "65001, ...), got 4242"},
      {head + R"("controllers": [], "faults": {"deviceSetFails": 1}})",
       "bad.json: faults.deviceSetFails: expected true or false, got 1"},
      {head + R"("controllers": [{"friendlyName": 5}]})",
       "bad.json: controllers[0].friendlyName: expected a string, got 5"},
      {head + R"("controllers": [{"faults": {"rootHubName": "sometimes"}}]})",
       "bad.json: controllers[0].faults.rootHubName: expected one of \"none\", \"probeFails\", "
       "\"absurdLength\", \"fetchFails\", \"conversionFails\", \"bareHeader\", "
       "\"shortLength\", \"oddLength\", \"noTerminator\", got the string \"sometimes\""},
      {head + R"("controllers": [{"rootHub": {"hubDescriptor": {"bNumberOfPorts": 1}}}]})",
       "bad.json: controllers[0].rootHub.name: expected a value (the key is required), got none"},
      {head + R"("controllers": [{"rootHub": {"name": "RH", "hubDescriptor": {"bNumberOfPorts": "12"}}}]})",
       "bad.json: controllers[0].rootHub.hubDescriptor.bNumberOfPorts: expected an integer "
       "from 0 to 255 or a \"0x\" hex string, got the string \"12\""},
      {head + R"("controllers": [{"rootHub": {"name": "RH", "name": "R2", "hubDescriptor": {"bNumberOfPorts": 1}}}]})",
       "bad.json: controllers[0].rootHub.name: expected each key once in an object, got this "
       "key again"},
      {head + R"("controllers": [{"rootHub": {"name": "RH", "hubDescriptor": {"bNumberOfPorts": 1}}},
                                  {"rootHub": {"name": "RH", "hubDescriptor": {"bNumberOfPorts": 1}}}]})",
       "bad.json: controllers[1].rootHub.name: expected a hub name not used before "
       "(controllers[0].rootHub.name), got the string \"RH\""},
      {WithPorts(R"({"port": 2}, {"port": 2})"),
       "bad.json: controllers[0].rootHub.ports[1].port: expected a port number not used before "
       "on this hub (controllers[0].rootHub.ports[0]), got 2"},
      {WithPorts(R"({"port": 0})"),
       "bad.json: controllers[0].rootHub.ports[0].port: expected a port number from 1 to 4 "
       "(the hub's bNumberOfPorts), got 0"},
      {WithPorts(R"({"port": 1}, {"port": 256})"),
       "bad.json: controllers[0].rootHub.ports[1].port: expected a port number from 1 to 4 "
       "(the hub's bNumberOfPorts), got 256"},
      {WithPorts(R"({"port": 1, "faults": {"openFails": true}})"),
       "bad.json: controllers[0].rootHub.ports[0].faults.openFails: expected one of the keys "
       "connectionInfoFails, driverKeyName, hubName, got an unknown key"},
      {WithPorts(R"({"port": 1, "connectionStatus": "0x100000000"})"),
       "bad.json: controllers[0].rootHub.ports[0].connectionStatus: expected an integer from 0 "
       "to 4294967295 or a \"0x\" hex string, got the string \"0x100000000\""},
      {WithDevice(R"({"lowSpeed": false})"),
       "bad.json: controllers[0].rootHub.ports[0].device.descriptor: expected a value (the key "
       "is required), got none"},
      {WithDevice(R"({"descriptor": {"idVendor": "0x1FFFF", "idProduct": 1}})"),
       "bad.json: controllers[0].rootHub.ports[0].device.descriptor.idVendor: expected an "
       "integer from 0 to 65535 or a \"0x\" hex string, got the string \"0x1FFFF\""},
      {WithDevice(R"({"descriptor": {"idVendor": -1, "idProduct": 1}})"),
       "bad.json: controllers[0].rootHub.ports[0].device.descriptor.idVendor: expected an "
       "integer from 0 to 65535 or a \"0x\" hex string, got -1"},
      {WithDevice(R"({"descriptor": {"idVendor": 1, "idProduct": 1.5}})"),
       "bad.json: controllers[0].rootHub.ports[0].device.descriptor.idProduct: expected an "
       "integer from 0 to 65535 or a \"0x\" hex string, got 1.5"},
      {WithDevice(R"({"descriptor": {"idVendor": 1, "idProduct": 1}, "lowSpeed": "yes"})"),
       "bad.json: controllers[0].rootHub.ports[0].device.lowSpeed: expected true or false, got "
       "the string \"yes\""},
      {WithDevice(R"({"descriptor": {"idVendor": 1, "idProduct": 1},
                      "hub": {"name": "H", "hubDescriptor": {"bNumberOfPorts": 2},
                              "ports": [{"port": 3}]}})"),
       "bad.json: controllers[0].rootHub.ports[0].device.hub.ports[0].port: expected a port "
       "number from 1 to 2 (the hub's bNumberOfPorts), got 3"},
  };
  for (const auto& [json, expected] : cases) EXPECT_EQ(ErrorOf(json), expected) << json;
}

TEST(TopologyErrors, MalformedJsonNamesLineAndColumn) {
  // The second comma on line 3 is column 16.
  EXPECT_EQ(ErrorOf("{\n  \"format\": \"keldar-topology\",\n  \"version\": 1,,\n}"),
            "bad.json:3:16: malformed JSON: syntax error while parsing object key - unexpected "
            "','; expected string literal");
  EXPECT_EQ(ErrorOf(""), "bad.json:1:1: malformed JSON: syntax error while parsing value - "
                         "unexpected end of input; expected '[', '{', or a literal");
  const std::string badUtf8 = ErrorOf("{\"computerName\": \"\xFF\"}");
  EXPECT_EQ(badUtf8.rfind("bad.json:1:19: malformed JSON: ", 0), 0u) << badUtf8;
}

TEST(TopologyErrors, AnUnreadableFileIsNamed) {
  const std::string path = kDataDir + "no-such-file.json";
  try {
    keldar::LoadTopologyFile(path);
    FAIL() << "no error";
  } catch (const TopologyError& error) {
    EXPECT_EQ(std::string(error.what()).rfind(path + ": cannot read the topology file", 0), 0u)
        << error.what();
  }
  EXPECT_THROW(keldar::LoadTopologyFile(kDataDir), TopologyError);
}

TEST(TopologyErrors, HubsChainedTooDeepAreRefused) {
  std::string hub = R"({"name": "", "hubDescriptor": {"bNumberOfPorts": 1}})";
  for (int i = 0; i < keldar::kMaxHubNesting + 1; ++i)
    hub = R"({"name": "", "hubDescriptor": {"bNumberOfPorts": 1}, "ports": [{"port": 1,
             "device": {"descriptor": {"idVendor": 1, "idProduct": 1}, "hub": )" +
          hub + "}}]}";
  const std::string json =
      R"({"format": "keldar-topology", "version": 1, "controllers": [{"rootHub": )" + hub + "}]}";
  const std::string error = ErrorOf(json);
  EXPECT_NE(error.find("expected at most 32 hubs chained below a root hub, got more"),
            std::string::npos)
      << error;
  // Deeply nested arrays are a plain error too, not a crash.
  EXPECT_EQ(ErrorOf(std::string(100000, '[') + std::string(100000, ']')),
            "bad.json: top level: expected an object, got an array");
}

TEST(TopologyErrors, NoInputCrashesTheReader) {
  // Every prefix that stops before the closing brace of a real file is incomplete, a
  // TopologyError; every single-byte change either reads or is a TopologyError.
  const std::string text = ReadFile(kDataDir + "every-fault.json");
  ASSERT_FALSE(text.empty());
  const std::size_t end = text.rfind('}');
  for (std::size_t cut = 0; cut <= end; ++cut)
    EXPECT_THROW(ReadTopology(text.substr(0, cut), "cut.json"), TopologyError) << cut;
  for (std::size_t at = 0; at < text.size(); at += 11) {
    for (char c : {'\0', '"', '}', '9', '\xFF'}) {
      std::string changed = text;
      changed[at] = c;
      EXPECT_NO_THROW(ErrorOf(changed)) << at;
    }
  }
}

}  // namespace
