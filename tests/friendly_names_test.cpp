// The database snapshot must answer every key exactly as FindFriendlyName does on the same
// database: compared key by key on many generated machines and on scripted databases with odd
// replies, then pinned on one small database by hand.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/fake_platform.h"
#include "detect/device_inspector.h"
#include "tools/model_generator.h"
#include "platform/model/model_platform.h"
#include "ui/memory_views.h"
#include "usb/access.h"
#include "usb/friendly_names.h"

namespace keldar {
namespace {

std::optional<std::string> Answer(const AnsiText& text) {
  if (!text) return std::nullopt;
  return std::string(text.get());
}

std::optional<std::string> Answer(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

std::string Cased(std::string text, int (*to)(int)) {
  for (char& c : text) c = static_cast<char>(to(static_cast<unsigned char>(c)));
  return text;
}

// Every key present, each in other letter case, cut short and lengthened, and keys nobody has.
std::vector<std::string> KeysToAsk(const std::vector<std::string>& present) {
  std::vector<std::string> keys = {"", "{36fc9e60-c465-11cf-8056-444553540000}\\9999", "KEY"};
  for (const std::string& key : present) {
    keys.push_back(key);
    keys.push_back(Cased(key, ::toupper));
    keys.push_back(Cased(key, ::tolower));
    if (!key.empty()) keys.push_back(key.substr(0, key.size() - 1));
    keys.push_back(key);
    keys.back().push_back('0');
  }
  return keys;
}


TEST(FriendlyNamesDifferential, GeneratedMachinesAnswerEveryKeyAsTheLookupDoes) {
  int compared = 0, named = 0, missing = 0, empty = 0;
  for (std::uint32_t seed = 1; seed <= 24; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    model::MachineShape shape{.treeItems = 40 + seed * 3,
                              .controllers = 1 + static_cast<int>(seed % 3),
                              .otherDevices = 20 + seed, .seed = seed, .duplicateKeyPercent = 15,
                              .caseVariantPercent = 20, .noDriverKeyPercent = 10,
                              .noFriendlyNamePercent = 20, .driverKeyReadFailsPercent = 5,
                              .friendlyNameReadFailsPercent = 5};
    const model::UsbModel machine = model::GenerateMachine(shape);
    ModelPlatform platform(machine);

    const FriendlyNames snapshot = FriendlyNames::Read(platform);
    EXPECT_EQ(platform.Counts().deviceSetEnumerations, 1u);
    EXPECT_EQ(platform.OpenDeviceSetCount(), 0u);
    EXPECT_EQ(snapshot.Find(nullptr), nullptr);

    for (const std::string& key : KeysToAsk(model::DriverKeysOf(machine))) {
      const auto expected = Answer(FindFriendlyName(platform, key.c_str()));
      ASSERT_EQ(Answer(snapshot.Find(key.c_str())), expected) << "key " << key;
      ++compared;
      if (!expected) ++missing;
      else if (expected->empty()) ++empty;
      else ++named;
    }
  }
  // The machines did reach every kind of answer.
  EXPECT_GT(named, 1000);
  EXPECT_GT(missing, 1000);
  EXPECT_GT(empty, 10);
  EXPECT_GT(compared, 4000);
}

// Scripted databases whose replies the model platform cannot make: properties without
// their 0 byte, reads that succeed with nothing offered, sizes that keep growing, stay put or are
// absurd, keys that are prefixes of one another.
TEST(FriendlyNamesDifferential, OddPropertyRepliesAnswerAsTheLookupDoes) {
  const std::vector<std::string> keyPool = {"KEY1", "KEY1X", "key1", "KEY", "K",
                                            "{36fc9e60-c465-11cf-8056-444553540000}\\0001"};
  const std::vector<std::optional<std::string>> namePool = {
      std::nullopt, "", "A", "Dongle", "A Friendly Name Far Longer Than Any Of The Keys"};
  using Quirk = std::function<std::optional<BOOL>(DWORD, int, BYTE*, DWORD, DWORD*, DWORD&)>;
  // Every read of `property` fails with `error`, asking for `size(round, bytes offered)`.
  const auto refusing = [](DWORD property, DWORD error, DWORD (*size)(int, DWORD)) -> Quirk {
    return [=](DWORD asked, int round, BYTE*, DWORD offered, DWORD* required,
               DWORD& lastError) -> std::optional<BOOL> {
      if (asked != property) return std::nullopt;
      if (required != nullptr) *required = size(round, offered);
      lastError = error;
      return FALSE;
    };
  };
  const std::vector<Quirk> quirks = {
      nullptr,
      // Claims success with nothing offered on the first driver-key read.
      [](DWORD property, int round, BYTE*, DWORD, DWORD*, DWORD&) -> std::optional<BOOL> {
        if (property == SPDRP_DRIVER && round == 0) return TRUE;
        return std::nullopt;
      },
      // The friendly name grows by ten bytes on every read.
      refusing(SPDRP_FRIENDLYNAME, ERROR_INSUFFICIENT_BUFFER,
               [](int round, DWORD) { return 60 + 10 * static_cast<DWORD>(round); }),
      // Asks for no more than it was given, and still fails for want of room.
      refusing(SPDRP_FRIENDLYNAME, ERROR_INSUFFICIENT_BUFFER, [](int, DWORD got) { return got; }),
      // An absurd size for the driver key.
      refusing(SPDRP_DRIVER, ERROR_INSUFFICIENT_BUFFER, [](int, DWORD) -> DWORD { return 0x7FFFFFFF; }),
      // The friendly-name read fails at once with another error.
      refusing(SPDRP_FRIENDLYNAME, ERROR_INVALID_DATA, [](int, DWORD given) { return given; }),
  };

  std::mt19937 random(7);
  int compared = 0;
  for (int database = 0; database < 200; ++database) {
    fake::FakePlatform script;
    const int devices = 1 + static_cast<int>(random() % 8);
    for (int d = 0; d < devices; ++d) {
      fake::DatabaseDevice device;
      if (random() % 6 != 0) device.driverKey = keyPool[random() % keyPool.size()];
      device.friendlyName = namePool[random() % namePool.size()];
      device.terminated = random() % 3 != 0;
      device.onRead = quirks[random() % quirks.size()];
      script.devices.push_back(device);
    }
    script.deviceSetFails = random() % 25 == 0;

    // Each run gets a copy of the script, so reads are counted from 0 for every lookup.
    fake::FakePlatform forSnapshot = script;
    const FriendlyNames snapshot = FriendlyNames::Read(forSnapshot);
    for (const std::string& key : KeysToAsk(keyPool)) {
      fake::FakePlatform forLookup = script;
      const auto expected = Answer(FindFriendlyName(forLookup, key.c_str()));
      ASSERT_EQ(Answer(snapshot.Find(key.c_str())), expected)
          << "database " << database << ", key " << key;
      ++compared;
    }
    EXPECT_LE(forSnapshot.deviceSetsOpened, 1);
    EXPECT_EQ(forSnapshot.deviceSetsDestroyed, forSnapshot.deviceSetsOpened);
  }
  EXPECT_GT(compared, 5000);
}

// One small database, with the answers written out, for the snapshot and the lookup alike.
TEST(FriendlyNamesSnapshot, SnapshotAndLookupAnswerAsTheDatabaseSaysReadingEachDeviceOnce) {
  const auto device = [](std::optional<std::string> key, std::optional<std::string> name) {
    fake::DatabaseDevice device;
    device.driverKey = std::move(key);
    device.friendlyName = std::move(name);
    return device;
  };
  const std::string key = "{36fc9e60-c465-11cf-8056-444553540000}\\000";
  fake::FakePlatform platform;
  platform.devices = {device(std::nullopt, "No Key"), device(key + "1", "First"),
                      device(key + "1", "Second"),
                      device("{36FC9E60-C465-11CF-8056-444553540000}\\0002", "Upper"),
                      device(key + "3", std::nullopt),
                      device(key + "4", "A friendly name longer than its driver key, by far")};
  // The longer name needs a second, larger buffer; this read fails there.
  platform.devices.back().onRead = [](DWORD property, int round, BYTE*, DWORD, DWORD*,
                                      DWORD& lastError) -> std::optional<BOOL> {
    if (property != SPDRP_FRIENDLYNAME || round == 0) return std::nullopt;
    lastError = ERROR_INVALID_DATA;
    return FALSE;
  };
  const std::pair<std::string, std::optional<std::string>> answers[] = {
      {key + "1", "First"},
      {key + "2", std::nullopt},
      {"{36FC9E60-C465-11CF-8056-444553540000}\\0002", "Upper"},
      {key + "3", key + "3"},
      {key + "4", ""},
      {key, std::nullopt},
      {"", std::nullopt}};

  fake::FakePlatform forSnapshot = platform;
  const FriendlyNames names = FriendlyNames::Read(forSnapshot);
  for (const auto& [asked, answer] : answers) {
    EXPECT_EQ(Answer(names.Find(asked.c_str())), answer) << "snapshot, key " << asked;
    fake::FakePlatform forLookup = platform;
    EXPECT_EQ(Answer(FindFriendlyName(forLookup, asked.c_str())), answer) << "lookup " << asked;
    EXPECT_EQ(forLookup.deviceSetsDestroyed, 1) << "lookup, key " << asked;
    // The failing read was offered the size the first one asked for: 50 bytes and the 0.
    if (answer == "") {
      EXPECT_EQ(forLookup.propertyReads.back().bufferSize, 51u);
    }
  }
  EXPECT_EQ(names.Find(nullptr), nullptr);
  EXPECT_EQ(names.KeyCount(), 4u);

  EXPECT_EQ(forSnapshot.deviceSetsOpened, 1);
  EXPECT_EQ(forSnapshot.deviceSetsDestroyed, 1);
  // Six devices and the index past the last.
  ASSERT_EQ(forSnapshot.enums.size(), 7u);
  int driverReads = 0, nameReads = 0, secondDeviceNameReads = 0;
  for (const fake::PropertyCall& read : forSnapshot.propertyReads) {
    (read.property == SPDRP_DRIVER ? driverReads : nameReads) += 1;
    if (read.device == 2 && read.property == SPDRP_FRIENDLYNAME) ++secondDeviceNameReads;
  }
  // The keyless device once, the five others twice (probe, then read).
  EXPECT_EQ(driverReads, 11);
  // First, Upper, the nameless device and the failing one (twice); never the duplicate.
  EXPECT_EQ(nameReads, 5);
  EXPECT_EQ(secondDeviceNameReads, 0);
}

// A whole detection reads the database once, whatever the size of its tree.
TEST(FriendlyNamesInDetection, OneDeviceSetPerDetection) {
  for (std::size_t items : {50u, 400u}) {
    const model::MachineShape shape{.treeItems = items, .otherDevices = 120};
    const model::UsbModel machine = model::GenerateMachine(shape);
    const std::size_t present = model::CountPresentDevices(machine);
    ModelPlatform platform(machine);
    MemoryTreeView tree;
    MemoryListView deviceList, detailList;
    MemoryNotifier notifier;
    DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);

    ASSERT_TRUE(inspector.Detect());
    ASSERT_EQ(tree.GetCount(), items);
    ASSERT_GT(deviceList.GetItemCount(), 0);
    EXPECT_EQ(platform.Counts().deviceSetEnumerations, 1u);
    // Two driver-key reads and at most two friendly-name reads for each present device.
    EXPECT_LE(platform.Counts().propertyReads, 4 * present);
    EXPECT_EQ(platform.OpenDeviceSetCount(), 0u);

    // The next detection reads the database again.
    inspector.Detect();
    EXPECT_EQ(platform.Counts().deviceSetEnumerations, 2u);
  }
}

}  // namespace
}  // namespace keldar
