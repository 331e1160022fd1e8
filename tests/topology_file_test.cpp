// The topology reader and writer: a written model reads back equal, the writer's layout is
// pinned by a file, and every refusal names the file, the place and what was expected
// (tests/data/model/reader-errors.txt).
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

// Every fault key reaching the model shows in the fault matrix's goldens; here the writer keeps
// all of them, and written-keys-in-order.json, read and written again, comes out byte for byte:
// every key in the order of the file format, ids in hex, faults only where set.
TEST(TopologyRoundTrip, WritingAndReadingBackGivesAnEqualModel) {
  for (const char* name : {"two-keys-behind-hub.json", "every-fault.json", "no-controllers.json",
                           "written-keys-in-order.json"}) {
    SCOPED_TRACE(name);
    const model::UsbModel original = keldar::LoadTopologyFile(kDataDir + name);
    const std::string written = WriteTopology(original);
    const model::UsbModel again = ReadTopology(written, name);
    EXPECT_TRUE(again == original);
    EXPECT_EQ(WriteTopology(again), written);
    if (std::string(name) == "written-keys-in-order.json") {
      EXPECT_EQ(written, ReadFile(kDataDir + name));
    }
  }
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
  for (int i = 0; i < keldar::model::kMaxHubNesting + 1; ++i)
    hub = R"({"name": "", "hubDescriptor": {"bNumberOfPorts": 1}, "ports": [{"port": 1,
             "device": {"descriptor": {"idVendor": 1, "idProduct": 1}, "hub": )" +
          hub + "}}]}";
  const std::string json =
      R"({"format": "keldar-topology", "version": 1, "controllers": [{"rootHub": )" + hub + "}]}";
  const std::string error = ErrorOf(json);
  EXPECT_NE(error.find("expected at most 32 hubs chained below a root hub, got more"),
            std::string::npos)
      << error;
  // Nesting deeper than a topology file goes is refused where it is seen: what follows it is
  // never read (here it is not even JSON).
  const std::string deep = ErrorOf(R"({"controllers": )" + std::string(100000, '[') + "x");
  EXPECT_EQ(deep.rfind("bad.json: controllers[0][0][0]", 0), 0u) << deep;
  EXPECT_NE(deep.find("]: expected at most 144 levels of nested objects and arrays (32 hubs "
                      "chained below a root hub), got deeper"),
            std::string::npos)
      << deep;
}

}  // namespace
