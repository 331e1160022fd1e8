#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "support/fake_platform.h"
#include "usb/access.h"

namespace keldar {
namespace {

using namespace std::literals;
using fake::FakePlatform;
using fake::Wide;

// ---- UTF-16 to ANSI ----

TEST(Utf16ToAnsi, AsksForTheSizeThenConvertsAnExplicitLengthNeverPastTheBound) {
  FakePlatform platform;
  platform.ansi[u'中'] = "\xD6\xD0";
  const fake::WideString text = Wide(u"中USB\0"sv);

  AnsiText ansi = Utf16ToAnsi(platform, text.data(), text.size());

  ASSERT_TRUE(ansi);
  EXPECT_EQ(ansi.view(), "\xD6\xD0USB"sv);
  ASSERT_EQ(platform.conversions.size(), 2u);
  const auto sent = [](const fake::WideCall& call) {
    return std::tuple(call.codePage, call.flags, call.length, call.hasOutput, call.outSize,
                      call.defaultCharGiven, call.usedDefaultCharGiven);
  };
  const UINT ansiCodePage = CP_ACP;
  EXPECT_EQ(sent(platform.conversions[0]), std::tuple(ansiCodePage, 0u, 4, false, 0, false, false));
  EXPECT_EQ(sent(platform.conversions[1]), std::tuple(ansiCodePage, 0u, 4, true, 5, false, false));

  const fake::WideString unterminated = Wide(u"ABCDEFGH"sv);
  EXPECT_EQ(Utf16ToAnsi(platform, unterminated.data(), 3).view(), "ABC");
  EXPECT_EQ(platform.conversions.back().text, Wide(u"ABC"));
}

TEST(Utf16ToAnsi, EmptyTextIsAnEmptyNameAndRefusalOfEitherCallIsNone) {
  FakePlatform platform;
  const fake::WideString empty = Wide(u"\0A"sv);
  for (std::size_t units : {empty.size(), std::size_t{0}}) {
    AnsiText ansi = Utf16ToAnsi(platform, empty.data(), units);
    ASSERT_TRUE(ansi);
    EXPECT_EQ(ansi.view(), "");
  }
  // The platform refuses a length of 0; it is not asked at all.
  EXPECT_TRUE(platform.conversions.empty());

  const fake::WideString text = Wide(u"ROOT"sv);
  EXPECT_FALSE(Utf16ToAnsi(platform, nullptr, 4));
  platform.conversionFails = [](const fake::WideCall& call) { return !call.hasOutput; };
  EXPECT_FALSE(Utf16ToAnsi(platform, text.data(), text.size()));
  EXPECT_EQ(platform.conversions.size(), 1u);
  platform.conversionFails = [](const fake::WideCall& call) { return call.hasOutput; };
  EXPECT_FALSE(Utf16ToAnsi(platform, text.data(), text.size()));
  EXPECT_EQ(platform.conversions.size(), 3u);
}

// ---- the probe-then-fetch name queries, on malformed replies ----

struct QueryKind {
  const char* label;
  NameQuery query;
  std::uint32_t headerSize;
};

// The four queries as the topology objects ask them, on handle 1 and port 3.
const QueryKind kQueryKinds[] = {
    {"root hub name",
     {.controlCode = IOCTL_USB_GET_ROOT_HUB_NAME, .perConnection = false,
      .bufferIsInput = false, .emptyIsNone = false, .connectionIndex = 0},
     4},
    {"controller driver key",
     {.controlCode = IOCTL_GET_HCD_DRIVERKEY_NAME, .perConnection = false,
      .bufferIsInput = true, .emptyIsNone = true, .connectionIndex = 0},
     4},
    {"connection name",
     {.controlCode = IOCTL_USB_GET_NODE_CONNECTION_NAME, .perConnection = true,
      .bufferIsInput = true, .emptyIsNone = false, .connectionIndex = 3},
     8},
    {"connection driver key",
     {.controlCode = IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, .perConnection = true,
      .bufferIsInput = true, .emptyIsNone = true, .connectionIndex = 3},
     8},
};

fake::NameKey KeyOf(const QueryKind& kind) {
  return {fake::Handle(1), kind.query.controlCode, kind.query.connectionIndex};
}

TEST(NameQuery, ShortOddOrAbsurdLengthsAreNoneAndNothingIsFetched) {
  for (const QueryKind& kind : kQueryKinds) {
    // Below header + one unit, half a unit, and beyond 64 KiB.
    for (std::uint32_t actualLength :
         {kind.headerSize, kind.headerSize + 7, std::uint32_t{65538}}) {
      SCOPED_TRACE(std::string(kind.label) + ", ActualLength " + std::to_string(actualLength));
      FakePlatform platform;
      fake::NameReply reply = fake::Name(u"ABCDEFGHIJ");
      reply.actualLength = actualLength;
      platform.names[KeyOf(kind)] = reply;

      EXPECT_FALSE(QueryName(platform, fake::Handle(1), kind.query));
      EXPECT_EQ(platform.ioctls.size(), 1u);
      EXPECT_TRUE(platform.conversions.empty());
    }
  }
}

TEST(NameQuery, TextEndsAtItsFirstZeroUnitOrAtActualLength) {
  for (const QueryKind& kind : kQueryKinds) {
    SCOPED_TRACE(kind.label);
    FakePlatform platform;
    fake::NameReply unterminated;
    unterminated.text = Wide(u"KEY");
    platform.names[KeyOf(kind)] = unterminated;

    EXPECT_EQ(QueryName(platform, fake::Handle(1), kind.query).view(), "KEY");
    ASSERT_EQ(platform.ioctls.size(), 2u);
    EXPECT_EQ(platform.ioctls[1].outSize, kind.headerSize + 6);

    fake::NameReply zeroInside;
    zeroInside.text = Wide(u"HUB1\0XYZ\0"sv);
    platform.names[KeyOf(kind)] = zeroInside;
    EXPECT_EQ(QueryName(platform, fake::Handle(1), kind.query).view(), "HUB1");
    EXPECT_EQ(platform.ioctls.back().outSize, kind.headerSize + 18);
    EXPECT_EQ(platform.conversions.back().length, 4);
  }
}

TEST(NameQuery, LongestAcceptedReplyIs64KiB) {
  const QueryKind& kind = kQueryKinds[2];
  FakePlatform platform;
  // 8 header bytes + 32763 units + the 0 unit = 65536 bytes.
  fake::NameReply reply = fake::Name(std::u16string(32763, u'N'));
  platform.names[KeyOf(kind)] = reply;

  AnsiText name = QueryName(platform, fake::Handle(1), kind.query);

  ASSERT_TRUE(name);
  EXPECT_EQ(name.view().size(), 32763u);
  EXPECT_EQ(platform.ioctls[1].outSize, 65536u);
}

TEST(NameQuery, FailureAtAnyStepIsNone) {
  for (const QueryKind& kind : kQueryKinds) {
    for (const char* step : {"probe", "fetch", "conversion"}) {
      SCOPED_TRACE(std::string(kind.label) + ", " + step + " fails");
      FakePlatform platform;
      fake::NameReply reply = fake::Name(u"NAME");
      reply.probeFails = step[0] == 'p';
      reply.fetchFails = step[0] == 'f';
      platform.names[KeyOf(kind)] = reply;
      if (step[0] == 'c') platform.conversionFails = [](const fake::WideCall&) { return true; };
      EXPECT_FALSE(QueryName(platform, fake::Handle(1), kind.query));
      EXPECT_EQ(platform.ioctls.size(), reply.probeFails ? 1u : 2u);
      EXPECT_EQ(platform.conversions.empty(), step[0] != 'c');
    }
  }
}

// ---- friendly names from the device-installation database ----

// Driver keys as the device-installation database spells them (43 characters).
constexpr const char* kKey1 = "{36FC9E60-C465-11CF-8056-444553540000}\\0001";
constexpr const char* kKey2 = "{36FC9E60-C465-11CF-8056-444553540000}\\0002";
constexpr const char* kKey3 = "{36FC9E60-C465-11CF-8056-444553540000}\\0003";

fake::DatabaseDevice Device(std::optional<std::string> key,
                            std::optional<std::string> friendlyName) {
  fake::DatabaseDevice device;
  device.driverKey = std::move(key);
  device.friendlyName = std::move(friendlyName);
  return device;
}

TEST(FriendlyName, ReadsEachKeyAfreshAndTheNameWithTheKeysSize) {
  FakePlatform platform;
  platform.devices.push_back(Device(kKey1, "USB Root Hub"));
  // 52 characters: longer than the key, so the name needs a larger buffer.
  platform.devices.push_back(
      Device(kKey2, "USB Mass Storage Device on the Front Panel Connector"));
  platform.devices.push_back(Device(kKey3, "USB Input Device"));

  AnsiText name = FindFriendlyName(platform, kKey2);

  ASSERT_TRUE(name);
  EXPECT_EQ(name.view(), "USB Mass Storage Device on the Front Panel Connector");
  const std::vector<std::string> expected = {
      "SetupDiGetClassDevsA 0x6",
      "SetupDiEnumDeviceInfo 0",
      "SetupDiGetDeviceRegistryPropertyA 0 driver 0",
      "SetupDiGetDeviceRegistryPropertyA 0 driver 44",
      "SetupDiEnumDeviceInfo 1",
      "SetupDiGetDeviceRegistryPropertyA 1 driver 0",
      "SetupDiGetDeviceRegistryPropertyA 1 driver 44",
      "SetupDiGetDeviceRegistryPropertyA 1 friendlyName 44",
      "SetupDiGetDeviceRegistryPropertyA 1 friendlyName 53",
      "SetupDiDestroyDeviceInfoList",
  };
  EXPECT_EQ(platform.log, expected);
  // The 64-bit element size; SetupDiEnumDeviceInfo refuses any other.
  const DWORD elementSize = sizeof(void*) == 8 ? 32 : 28;
  for (const fake::EnumCall& call : platform.enums) EXPECT_EQ(call.cbSize, elementSize);
  EXPECT_EQ(platform.propertyReads[0].requiredOnEntry, 0u);
  EXPECT_TRUE(platform.propertyReads[0].requiredGiven);
}

TEST(FriendlyName, NoKeyOrNoDeviceSetIsNone) {
  FakePlatform platform;
  platform.devices.push_back(Device(kKey1, "Token"));
  EXPECT_FALSE(FindFriendlyName(platform, nullptr));
  EXPECT_TRUE(platform.log.empty());

  platform.deviceSetFails = true;
  EXPECT_FALSE(FindFriendlyName(platform, kKey1));
  EXPECT_TRUE(platform.enums.empty());
  EXPECT_EQ(platform.deviceSetsDestroyed, 0);

  platform.deviceSetFails = false;
  platform.devices.clear();
  EXPECT_FALSE(FindFriendlyName(platform, kKey1));
  EXPECT_EQ(platform.deviceSetsDestroyed, 1);
}

TEST(FriendlyName, PlatformThatKeepsAskingForMoreIsGivenUp) {
  // Forever growing, never growing, and absurdly large required sizes.
  const auto asking = [](DWORD (*size)(int round)) {
    fake::DatabaseDevice device = Device(kKey1, "Asking");
    device.onRead = [size](DWORD, int round, BYTE*, DWORD, DWORD* required,
                           DWORD& lastError) -> std::optional<BOOL> {
      *required = size(round);
      lastError = ERROR_INSUFFICIENT_BUFFER;
      return FALSE;
    };
    return device;
  };
  FakePlatform platform;
  platform.devices = {asking([](int round) { return 50 + 10 * static_cast<DWORD>(round); }),
                      asking([](int) { return DWORD{50}; }),
                      asking([](int) { return DWORD{0x7FFFFFFF}; }), Device(kKey1, "Readable")};

  EXPECT_EQ(FindFriendlyName(platform, kKey1).view(), "Readable");
  int reads[4] = {};
  for (const fake::PropertyCall& read : platform.propertyReads) {
    ++reads[read.device];
    EXPECT_LE(read.bufferSize, 65536u);
  }
  EXPECT_LT(reads[0], 10);
  EXPECT_EQ(reads[1], 2);
  EXPECT_EQ(reads[2], 1);
}

TEST(FriendlyName, PropertiesStoredWithoutTerminatorEndWithinTheBuffer) {
  FakePlatform platform;
  platform.devices.push_back(Device("KEY1X", "Wrong"));
  platform.devices.back().terminated = false;
  platform.devices.push_back(Device("KEY1", "Dongle"));
  platform.devices.back().terminated = false;

  AnsiText name = FindFriendlyName(platform, "KEY1");

  ASSERT_TRUE(name);
  EXPECT_EQ(name.view(), "Dongle");
  // Four bytes of key, no 0 byte: the name read is offered exactly those four, then six.
  EXPECT_EQ(platform.propertyReads.back().bufferSize, 6u);
  EXPECT_EQ(platform.propertyReads[platform.propertyReads.size() - 2].bufferSize, 4u);
}

TEST(FriendlyName, SizeReportedBeyondTheBufferIsNeverOffered) {
  FakePlatform platform;
  platform.devices.push_back(Device("KEY", "A Friendly Name Longer Than Its Key"));
  // The driver-key read succeeds but reports far more than the 4 bytes it was given.
  platform.devices.back().onRead = [](DWORD property, int round, BYTE* buffer, DWORD size,
                                      DWORD* required, DWORD&) -> std::optional<BOOL> {
    if (property != SPDRP_DRIVER || round == 0 || size < 4) return std::nullopt;
    std::memcpy(buffer, "KEY", 4);
    *required = 400;
    return TRUE;
  };

  EXPECT_EQ(FindFriendlyName(platform, "KEY").view(), "A Friendly Name Longer Than Its Key");
  const fake::PropertyCall& firstNameRead = platform.propertyReads.at(2);
  EXPECT_EQ(firstNameRead.property, SPDRP_FRIENDLYNAME);
  EXPECT_EQ(firstNameRead.bufferSize, 4u);
}

}  // namespace
}  // namespace keldar
