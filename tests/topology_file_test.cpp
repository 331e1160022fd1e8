// The topology reader and writer: every fault key reaches the model, a written model reads
// back equal, the writer's layout is pinned by a file, and every refusal names the file, the
// place and what was expected (tests/data/model/reader-errors.txt).
#include "model/topology_file.h"

#include <gtest/gtest.h>

#include "support/test_data.h"

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace model = keldar::model;
using keldar::ReadTopology;
using keldar::TopologyError;
using keldar::WriteTopology;
using keldar::testing::ReadFile;

const std::string kDataDir = std::string(KELDAR_TEST_DATA_DIR) + "/model/";


// The message of the TopologyError that reading `json` raises ("" when it reads fine).
std::string ErrorOf(const std::string& json) {
  try {
    ReadTopology(json, "bad.json");
  } catch (const TopologyError& error) {
    return error.what();
  }
  return "";
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
  const std::string written = ReadFile(kDataDir + "written-keys-in-order.json");
  EXPECT_EQ(WriteTopology(m), written);
  EXPECT_TRUE(ReadTopology(written, "written.json") == m);
}

TEST(TopologyWrite, TextThatIsNotUtf8IsWrittenWithReplacementCharacters) {
  model::UsbModel m;
  m.computerName = "PC\xFF";
  EXPECT_NE(WriteTopology(m).find("\"computerName\": \"PC\xEF\xBF\xBD\""), std::string::npos);
}

TEST(TopologyErrors, NameTheFileThePathAndWhatWasExpected) {
  std::istringstream cases(ReadFile(kDataDir + "reader-errors.txt"));
  int checked = 0;
  for (std::string input, expected; std::getline(cases, input);) {
    if (input.empty() || input[0] == '#') continue;
    std::getline(cases, expected);
    EXPECT_EQ(ErrorOf(input == "(empty)" ? "" : input), expected) << input;
    ++checked;
  }
  EXPECT_GE(checked, 27);
  // A multi-line document: the second comma on line 3 is column 16.
  EXPECT_EQ(ErrorOf("{\n  \"format\": \"keldar-topology\",\n  \"version\": 1,,\n}"),
            "bad.json:3:16: malformed JSON: syntax error while parsing object key - unexpected "
            "','; expected string literal");
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

}  // namespace
