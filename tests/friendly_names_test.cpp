// The database snapshot must answer every key exactly as FindFriendlyName does on the same
// database: compared key by key on many generated machines and on databases with odd replies,
// then pinned on one small database by hand.
#include "usb/friendly_names.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "detect/device_inspector.h"
#include "model/topology_file.h"
#include "support/hooked_platform.h"
#include "tools/model_generator.h"
#include "ui/memory_views.h"
#include "usb/access.h"

namespace keldar {
namespace {

using Answer = std::optional<std::string>;

Answer AnswerOf(const char* text) { return text ? Answer(text) : std::nullopt; }
Answer AnswerOf(const AnsiText& text) { return AnswerOf(text ? text.get() : nullptr); }

std::string Cased(std::string text, int (*to)(int)) {
  for (char& c : text) c = static_cast<char>(to(static_cast<unsigned char>(c)));
  return text;
}

// Every key present, each in other letter case, cut short and lengthened, and keys nobody has.
std::vector<std::string> KeysToAsk(const std::vector<std::string>& present) {
  std::vector<std::string> keys = {"", "{36fc9e60-c465-11cf-8056-444553540000}\\9999", "KEY"};
  for (const std::string& key : present) {
    keys.insert(keys.end(), {key, Cased(key, ::toupper), Cased(key, ::tolower), key + "0"});
    if (!key.empty()) keys.push_back(key.substr(0, key.size() - 1));
  }
  return keys;
}

TEST(FriendlyNamesDifferential, GeneratedMachinesAnswerEveryKeyAsTheLookupDoes) {
  int named = 0, missing = 0, empty = 0;
  for (std::uint32_t seed = 1; seed <= 24; ++seed) {
    model::MachineShape shape{.treeItems = 40 + seed * 3,
                              .controllers = 1 + static_cast<int>(seed % 3),
                              .otherDevices = 20 + seed,
                              .seed = seed,
                              .duplicateKeyPercent = 15,
                              .caseVariantPercent = 20,
                              .noDriverKeyPercent = 10,
                              .noFriendlyNamePercent = 20,
                              .driverKeyReadFailsPercent = 5,
                              .friendlyNameReadFailsPercent = 5};
    const model::UsbModel machine = model::GenerateMachine(shape);
    ModelPlatform platform(machine);
    const FriendlyNames snapshot = FriendlyNames::Read(platform);
    EXPECT_EQ(platform.OpenDeviceSetCount(), 0u);
    for (const std::string& key : KeysToAsk(model::DriverKeysOf(machine))) {
      const Answer expected = AnswerOf(FindFriendlyName(platform, key.c_str()));
      ASSERT_EQ(AnswerOf(snapshot.Find(key.c_str())), expected) << "seed " << seed << " " << key;
      (!expected ? missing : expected->empty() ? empty : named) += 1;
    }
  }
  // The machines did reach every kind of answer.
  EXPECT_GT(named, 1000);
  EXPECT_GT(missing, 1000);
  EXPECT_GT(empty, 10);
}

// One device of a database with odd replies: its texts, whether they are stored with their 0
// byte, and a quirk of its reads (0 for none).
struct OddDevice {
  Answer key, name;
  bool terminated;
  int quirk;
};

// A fresh platform for each reader, so that every one sees the reads counted from 0.
std::unique_ptr<testing::HookedPlatform> OddDatabase(const std::vector<OddDevice>& devices,
                                                     bool setFails) {
  model::UsbModel m;
  for (const OddDevice& device : devices) m.otherDevices.push_back({device.key, device.name, {}});
  m.deviceSetFails = setFails;
  auto platform = std::make_unique<testing::HookedPlatform>(std::move(m));
  auto rounds = std::make_shared<std::map<std::pair<DWORD, DWORD>, int>>();
  platform->onPropertyRead = [devices, rounds](DWORD index, DWORD property, BYTE* buffer,
                                               DWORD size,
                                               DWORD* required) -> std::optional<DWORD> {
    const OddDevice& device = devices[index];
    const DWORD round = static_cast<DWORD>((*rounds)[{index, property}]++);
    const bool driver = property == SPDRP_DRIVER;
    switch (device.quirk) {
      case 1:  // claims success with nothing offered on the first driver-key read
        if (driver && round == 0) return ERROR_SUCCESS;
        break;
      case 2:  // the friendly name grows by ten bytes on every read
        if (!driver) return *required = 60 + 10 * round, ERROR_INSUFFICIENT_BUFFER;
        break;
      case 3:  // asks for no more than it was given, and still fails for want of room
        if (!driver) return *required = size, ERROR_INSUFFICIENT_BUFFER;
        break;
      case 4:  // an absurd size for the driver key
        if (driver) return *required = 0x7FFFFFFF, ERROR_INSUFFICIENT_BUFFER;
        break;
      case 5:  // the friendly-name read fails at once with another error
        if (!driver) return ERROR_INVALID_DATA;
        break;
    }
    if (device.terminated) return std::nullopt;
    const Answer& text = driver ? device.key : device.name;
    if (!text) return ERROR_INVALID_DATA;
    *required = static_cast<DWORD>(text->size());
    if (size < text->size()) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, text->data(), text->size());
    return ERROR_SUCCESS;
  };
  return platform;
}

TEST(FriendlyNamesDifferential, OddPropertyRepliesAnswerAsTheLookupDoes) {
  const std::vector<std::string> keyPool = {
      "KEY1", "KEY1X", "key1", "KEY", "K", "{36fc9e60-c465-11cf-8056-444553540000}\\0001"};
  const std::vector<Answer> namePool = {std::nullopt, "", "A", "Dongle",
                                        "A Friendly Name Far Longer Than Any Of The Keys"};
  std::mt19937 random(7);
  int compared = 0;
  for (int database = 0; database < 200; ++database) {
    std::vector<OddDevice> devices(1 + random() % 8);
    for (OddDevice& device : devices) {
      if (random() % 6 != 0) device.key = keyPool[random() % keyPool.size()];
      device.name = namePool[random() % namePool.size()];
      device.terminated = random() % 3 != 0;
      device.quirk = static_cast<int>(random() % 6);
    }
    const bool setFails = random() % 25 == 0;
    auto forSnapshot = OddDatabase(devices, setFails);
    const FriendlyNames snapshot = FriendlyNames::Read(*forSnapshot);
    for (const std::string& key : KeysToAsk(keyPool)) {
      auto forLookup = OddDatabase(devices, setFails);
      ASSERT_EQ(AnswerOf(snapshot.Find(key.c_str())),
                AnswerOf(FindFriendlyName(*forLookup, key.c_str())))
          << "database " << database << ", key " << key;
      ++compared;
    }
    EXPECT_EQ(forSnapshot->model.OpenDeviceSetCount(), 0u);
  }
  EXPECT_GT(compared, 5000);
}

// One small database, with the answers written out, for the snapshot and the lookup alike.
TEST(FriendlyNamesSnapshot, SnapshotAndLookupAnswerAsTheDatabaseSays) {
  const std::string key = "{36fc9e60-c465-11cf-8056-444553540000}\\000";
  model::UsbModel m;
  m.otherDevices = {
      {std::nullopt, "No Key", {}},
      {key + "1", "First", {}},
      {key + "1", "Second", {}},
      {"{36FC9E60-C465-11CF-8056-444553540000}\\0002", "Upper", {}},
      {key + "3", std::nullopt, {}},
      {key + "4", "A friendly name longer than its driver key, by far", {false, true}}};
  const std::pair<std::string, Answer> answers[] = {
      {key + "1", "First"},
      {key + "2", std::nullopt},
      {"{36FC9E60-C465-11CF-8056-444553540000}\\0002", "Upper"},
      {key + "3", key + "3"},
      {key + "4", ""},
      {key, std::nullopt},
      {"", std::nullopt}};
  ModelPlatform platform(std::move(m));
  const FriendlyNames names = FriendlyNames::Read(platform);
  for (const auto& [asked, answer] : answers) {
    EXPECT_EQ(AnswerOf(names.Find(asked.c_str())), answer) << "snapshot, key " << asked;
    EXPECT_EQ(AnswerOf(FindFriendlyName(platform, asked.c_str())), answer) << "lookup " << asked;
  }
  EXPECT_EQ(names.Find(nullptr), nullptr);
  EXPECT_FALSE(FindFriendlyName(platform, nullptr));
  EXPECT_EQ(names.KeyCount(), 4u);
}

// Devices come and go between detections: the next detection reads the database afresh.
TEST(FriendlyNamesInDetection, NextDetectionSeesTheDatabaseAsItIsThen) {
  model::UsbModel m =
      LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/fixtures/no-known-key.json");
  ModelPlatform platform(m);
  MemoryTreeView tree;
  MemoryListView deviceList, detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);
  ASSERT_TRUE(inspector.Detect());
  const std::string before = deviceList.Cell(0, 1);
  m.controllers[0].rootHub->ports[0].device->friendlyName = "Renamed";
  ASSERT_TRUE(inspector.Detect());
  EXPECT_NE(before, "Renamed");
  EXPECT_EQ(deviceList.Cell(0, 1), "Renamed");
}


// Four devices on one root hub: a key found by its driver key, a keyless key whose hardware
// ID is its own, and two keyless devices sharing their IDs.
model::UsbModel KeyStateMachine() {
  return ReadTopology(R"({"format": "keldar-topology", "version": 1, "computerName": "PC",
    "controllers": [{"driverKey": "HCD", "rootHub": {"name": "ROOT",
      "hubDescriptor": {"bNumberOfPorts": 4}, "ports": [
      {"port": 1, "device": {"descriptor": {"idVendor": "0x096E", "idProduct": "0x0201"},
        "driverKey": "KEY-1", "windowsState": {"service": "WinUSB", "configFlags": "0x0",
                                               "devNodeStatus": "0x180200A"}}},
      {"port": 2, "device": {"descriptor": {"idVendor": "0x0925", "idProduct": "0x5624"},
        "windowsState": {"configFlags": "0x40", "devNodeStatus": "0x1802400",
                         "problemCode": "0x1C"}}},
      {"port": 3, "device": {"descriptor": {"idVendor": "0x0529", "idProduct": "0x0001"}}},
      {"port": 4, "device": {"descriptor": {"idVendor": "0x0529", "idProduct": "0x0001"}}}
    ]}}]})", "key-states.json");
}

TEST(KeyStates, KeyIsFoundByItsDriverKeyOrByTheOnlyHardwareIdNamingIt) {
  ModelPlatform platform(KeyStateMachine());
  const FriendlyNames names = FriendlyNames::Read(platform, true);
  const std::size_t passReads = platform.Counts().propertyReads;

  const KeyDeviceState byKey = names.KeyState(platform, "KEY-1", 0x096E, 0x0201);
  ASSERT_TRUE(byKey.known) << byKey.why;
  EXPECT_EQ(byKey.service, "WinUSB");
  EXPECT_EQ(byKey.configFlags, 0u);
  EXPECT_EQ(byKey.devNodeStatus, 0x180200Au);

  const KeyDeviceState byIds = names.KeyState(platform, "", 0x0925, 0x5624);
  ASSERT_TRUE(byIds.known) << byIds.why;
  EXPECT_EQ(byIds.service, std::nullopt);
  EXPECT_EQ(byIds.configFlags, 0x40u);
  EXPECT_EQ(byIds.problemCode, 0x1Cu);

  const KeyDeviceState shared = names.KeyState(platform, nullptr, 0x0529, 0x0001);
  EXPECT_FALSE(shared.known);
  EXPECT_EQ(shared.why, "2 present devices without a driver key name the key's IDs");
  EXPECT_FALSE(names.KeyState(platform, "KEY-2", 0x096E, 0x0201).known);
  EXPECT_FALSE(names.KeyState(platform, "", 0x096E, 0x0201).known);

  // The pass reads the hardware IDs of the three devices without a driver key (probe, fetch)
  // and nothing more of the others.
  ModelPlatform namesOnly(KeyStateMachine());
  (void)FriendlyNames::Read(namesOnly);
  EXPECT_EQ(passReads, namesOnly.Counts().propertyReads + 3 * 2);
  EXPECT_EQ(platform.OpenDeviceSetCount(), 1u) << "kept open for the keys";
}

// Replies that overrun what they announce: IDs and a service stored without their 0 bytes,
// sizes that keep growing, a status call that succeeds and writes nothing (as wine's does).
TEST(KeyStates, OddRepliesAreReadWithinTheBytesOwned) {
  struct Case {
    const char* ids;  // null: the IDs keep growing
    const char* service;
    bool writesStatus;
    bool known;
    std::optional<std::string> expectedService;
    std::optional<std::uint32_t> expectedStatus;
  };
  const Case cases[] = {
      {"USB\\VID_0925&PID_5624", "WinUSB", true, true, "WinUSB", 0x180200A},
      {"usb\\vid_0925&pid_5624&rev_0100", nullptr, false, true, std::nullopt, 0},
      {"USB\\VID_0925&PID_56245", "WinUSB", true, false, std::nullopt, std::nullopt},
      {nullptr, "WinUSB", true, false, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    testing::HookedPlatform platform(KeyStateMachine());
    // The database lists the controller, then the devices port by port: port 2's is entry 2.
    platform.onPropertyRead = [&](DWORD device, DWORD property, BYTE* buffer, DWORD size,
                                  DWORD* required) -> std::optional<DWORD> {
      if (device != 2) return std::nullopt;
      const char* text = property == SPDRP_HARDWAREID ? c.ids
                         : property == SPDRP_SERVICE  ? c.service
                                                      : "";
      if (property == SPDRP_HARDWAREID && text == nullptr)
        return *required = size + 8, ERROR_INSUFFICIENT_BUFFER;
      if (property != SPDRP_HARDWAREID && property != SPDRP_SERVICE) return std::nullopt;
      if (text == nullptr) return ERROR_INVALID_DATA;
      // Exactly the text's bytes, no terminator: the buffer ends where the text does.
      *required = static_cast<DWORD>(std::strlen(text));
      if (size < *required) return ERROR_INSUFFICIENT_BUFFER;
      std::memcpy(buffer, text, *required);
      return ERROR_SUCCESS;
    };
    platform.onDevNodeStatus = [&](ULONG* status, ULONG*, DEVINST) -> std::optional<CONFIGRET> {
      if (c.writesStatus) *status = 0x180200A;
      return CR_SUCCESS;
    };
    const FriendlyNames names = FriendlyNames::Read(platform, true);
    const KeyDeviceState state = names.KeyState(platform, "", 0x0925, 0x5624);
    EXPECT_EQ(state.known, c.known) << c.ids << ": " << state.why;
    EXPECT_EQ(state.service, c.expectedService) << c.ids;
    EXPECT_EQ(state.devNodeStatus, c.expectedStatus) << c.ids;
  }
}

}  // namespace
}  // namespace keldar
