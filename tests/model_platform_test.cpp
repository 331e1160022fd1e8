#include "platform/model/model_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/model/text_codec.h"
#include "platform/model/topology_file.h"

namespace {

using keldar::ModelPlatform;
namespace model = keldar::model;
using Bytes = std::vector<unsigned char>;

constexpr DWORD kGetRootHubName = 0x220408;
constexpr DWORD kGetNodeInformation = 0x220408;
constexpr DWORD kGetConnectionInformation = 0x22040C;
constexpr DWORD kGetConnectionName = 0x220414;
constexpr DWORD kGetConnectionDriverKey = 0x220420;
constexpr DWORD kGetHcdDriverKey = 0x220424;
constexpr DWORD kBufferOverflow = 111;
constexpr unsigned char kCanary = 0xCC;
constexpr std::size_t kCanaryBytes = 16;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// WCHAR is char16_t here and wchar_t on Windows; both are UTF-16 units.
std::basic_string<WCHAR> Wide(std::u16string_view text) {
  return std::basic_string<WCHAR>(text.begin(), text.end());
}

// An ASCII text as UTF-16LE bytes, with its 0 unit when `terminated`.
Bytes Utf16Le(std::string_view ascii, bool terminated = true) {
  Bytes bytes;
  for (char c : ascii) {
    bytes.push_back(static_cast<unsigned char>(c));
    bytes.push_back(0);
  }
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Bytes Le32(std::uint32_t value) {
  return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
          static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

std::unique_ptr<model::Hub> MakeHub(std::string name, std::uint8_t ports,
                                    std::uint16_t characteristics = 0) {
  auto hub = std::make_unique<model::Hub>();
  hub->name = std::move(name);
  hub->descriptor.bNumberOfPorts = ports;
  hub->descriptor.wHubCharacteristics = characteristics;
  return hub;
}

model::Port& AddPort(model::Hub& hub, int number) {
  model::Port& port = hub.ports.emplace_back();
  port.port = number;
  return port;
}

// Two controllers: the first with a key on port 1, an external hub on port 3 (a low-speed
// mouse behind it on its port 2) and a failed enumeration on port 4; the second with an empty
// two-port root hub; two database entries that are not on USB. The ports are then listed in
// reverse, as a model built by hand may list them: answers must follow port numbers.
model::UsbModel SampleModel() {
  model::UsbModel m =
      keldar::LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/model/platform-sample.json");
  std::reverse(m.controllers[0].rootHub->ports.begin(), m.controllers[0].rootHub->ports.end());
  return m;
}

model::Port& PortOf(model::Hub& hub, int number) {
  for (model::Port& port : hub.ports)
    if (port.port == number) return port;
  throw std::logic_error("no such port in the sample");
}

HANDLE Open(ModelPlatform& platform, const std::string& path) {
  return platform.CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
}

struct Reply {
  bool ok;
  DWORD error;
  Bytes bytes;  // outSize bytes, then kCanaryBytes that must stay untouched
};

// One call the way the access layer makes it: one buffer is input and output. `head` is
// written into the buffer first (a ConnectionIndex); the rest is filled with the canary.
Reply Ask(ModelPlatform& platform, HANDLE handle, DWORD code, DWORD outSize,
          const Bytes& head = {}) {
  Bytes buffer(outSize + kCanaryBytes, kCanary);
  std::copy(head.begin(), head.end(), buffer.begin());
  DWORD returned = 0;
  const BOOL ok = platform.DeviceIoControl(handle, code, buffer.data(), outSize, buffer.data(),
                                           outSize, &returned, nullptr);
  return {ok != FALSE, ok ? 0 : platform.GetLastError(), buffer};
}

bool CanaryIntact(const Reply& reply, std::size_t from) {
  return std::all_of(reply.bytes.begin() + static_cast<std::ptrdiff_t>(from), reply.bytes.end(),
                     [](unsigned char b) { return b == kCanary; });
}

class ModelPlatformTest : public ::testing::Test {
 protected:
  model::UsbModel model_ = SampleModel();
  ModelPlatform platform_{model_};
};

TEST_F(ModelPlatformTest, OpensControllersAndHubsByPathWithDistinctHandles) {
  const HANDLE hcd0 = Open(platform_, "\\\\.\\HCD0");
  const HANDLE hcd1 = Open(platform_, "\\\\.\\HCD1");
  const HANDLE hcd0Again = Open(platform_, "\\\\.\\HCD0");
  const HANDLE rootHub = Open(platform_, "\\\\.\\USB#ROOT_HUB30#0");
  const HANDLE externalHub = Open(platform_, "\\\\.\\USB#HUB#3");
  const std::vector<HANDLE> handles = {hcd0, hcd1, hcd0Again, rootHub, externalHub};
  for (HANDLE h : handles) {
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(std::count(handles.begin(), handles.end(), h), 1);
  }
  EXPECT_EQ(platform_.OpenHandleCount(), 5u);

  for (const char* path : {"\\\\.\\HCD2", "\\\\.\\HCD01", "\\\\.\\HCD", "\\\\.\\hcd0", "HCD0",
                           "\\\\.\\", "\\\\.\\USB#HUB#4", "\\\\.\\usb#hub#3"}) {
    EXPECT_EQ(Open(platform_, path), INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(platform_.GetLastError(), ERROR_FILE_NOT_FOUND) << path;
  }
  EXPECT_EQ(platform_.OpenHandleCount(), 5u);

  EXPECT_TRUE(platform_.CloseHandle(hcd1));
  EXPECT_FALSE(platform_.CloseHandle(hcd1));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(platform_.CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(platform_.OpenHandleCount(), 4u);
  // A closed handle answers nothing.
  EXPECT_FALSE(Ask(platform_, hcd1, kGetRootHubName, 6).ok);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_HANDLE);

  for (HANDLE h : {hcd0, hcd0Again, rootHub, externalHub}) EXPECT_TRUE(platform_.CloseHandle(h));
  EXPECT_EQ(platform_.OpenHandleCount(), 0u);
  EXPECT_EQ(platform_.Counts().createFileCalls, 13u);
  EXPECT_EQ(platform_.Counts().failedOpens, 8u);
  EXPECT_EQ(platform_.Counts().closeHandleCalls, 7u);
}

TEST_F(ModelPlatformTest, OpenFaultsRefuseTheControllerOrHub) {
  model_.controllers[0].faults.openFails = true;
  PortOf(*model_.controllers[0].rootHub, 3).device->hub->faults.openFails = true;
  EXPECT_EQ(Open(platform_, "\\\\.\\HCD0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform_.GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(Open(platform_, "\\\\.\\HCD1"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(platform_, "\\\\.\\USB#HUB#3"), INVALID_HANDLE_VALUE);
  EXPECT_NE(Open(platform_, "\\\\.\\USB#ROOT_HUB30#0"), INVALID_HANDLE_VALUE);
}

TEST_F(ModelPlatformTest, NodeInformationIsThe76ByteHubRecord) {
  const HANDLE root = Open(platform_, "\\\\.\\USB#ROOT_HUB30#0");
  const Reply reply = Ask(platform_, root, kGetNodeInformation, 76);
  ASSERT_TRUE(reply.ok);
  // NodeType 0 (UsbHub), then the hub descriptor: length 9, type 0x29, 4 ports,
  // characteristics 0x00A9 little-endian, power-on-to-good 50, control current 0.
  EXPECT_EQ(Slice(reply.bytes, 0, 11), (Bytes{0, 0, 0, 0, 9, 0x29, 4, 0xA9, 0x00, 50, 0}));
  EXPECT_EQ(Slice(reply.bytes, 11, 64), Bytes(64, 0));  // bRemoveAndPowerMask
  EXPECT_EQ(reply.bytes[75], 0);                         // HubIsBusPowered
  EXPECT_TRUE(CanaryIntact(reply, 76));

  const HANDLE external = Open(platform_, "\\\\.\\USB#HUB#3");
  const Reply hub = Ask(platform_, external, kGetNodeInformation, 76);
  ASSERT_TRUE(hub.ok);
  EXPECT_EQ(Slice(hub.bytes, 4, 7), (Bytes{9, 0x29, 2, 0xE0, 0x00, 50, 100}));
  EXPECT_EQ(hub.bytes[75], 1);

  const Reply small = Ask(platform_, root, kGetNodeInformation, 75);
  EXPECT_FALSE(small.ok);
  EXPECT_EQ(small.error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(CanaryIntact(small, 0));

  model_.controllers[0].rootHub->faults.nodeInfoFails = true;
  EXPECT_FALSE(Ask(platform_, root, kGetNodeInformation, 76).ok);
  EXPECT_TRUE(Ask(platform_, external, kGetNodeInformation, 76).ok);
  EXPECT_EQ(platform_.Counts().hubIoctls, 5u);
  EXPECT_EQ(platform_.Counts().nodeInformationQueries, 5u);
}

TEST_F(ModelPlatformTest, ConnectionInformationIsThe365ByteRecord) {
  const HANDLE root = Open(platform_, "\\\\.\\USB#ROOT_HUB30#0");
  const Reply key = Ask(platform_, root, kGetConnectionInformation, 365, Le32(1));
  ASSERT_TRUE(key.ok);
  EXPECT_EQ(Slice(key.bytes, 0, 4), Le32(1));
  // The device descriptor: 18 bytes, type 1, bcdUSB 0x0200, class 0/0/0, packet size 64,
  // vendor 0x096E, product 0x0201, bcdDevice 0x0100, strings 1/2/0, one configuration.
  EXPECT_EQ(Slice(key.bytes, 4, 18), (Bytes{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x6E, 0x09, 0x01,
                                            0x02, 0x00, 0x01, 1, 2, 0, 1}));
  EXPECT_EQ(key.bytes[22], 1);                             // CurrentConfigurationValue
  EXPECT_EQ(key.bytes[23], 0);                             // LowSpeed
  EXPECT_EQ(key.bytes[24], 0);                             // DeviceIsHub
  EXPECT_EQ(Slice(key.bytes, 25, 2), (Bytes{2, 0}));       // DeviceAddress
  EXPECT_EQ(Slice(key.bytes, 27, 4), (Bytes{0, 0, 0, 0}));  // NumberOfOpenPipes
  EXPECT_EQ(Slice(key.bytes, 31, 4), Le32(1));             // ConnectionStatus
  EXPECT_EQ(Slice(key.bytes, 35, 330), Bytes(330, 0));     // 30 pipe entries
  EXPECT_TRUE(CanaryIntact(key, 365));

  const Reply hub = Ask(platform_, root, kGetConnectionInformation, 365, Le32(3));
  ASSERT_TRUE(hub.ok);
  EXPECT_EQ(Slice(hub.bytes, 4, 18), (Bytes{18, 1, 0x00, 0x02, 9, 0, 1, 64, 0xE3, 0x05, 0x08,
                                            0x06, 0x37, 0x85, 0, 0, 0, 1}));
  EXPECT_EQ(hub.bytes[24], 1);

  // Port 2 is not listed: nothing attached, a zero descriptor.
  const Reply empty = Ask(platform_, root, kGetConnectionInformation, 365, Le32(2));
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(Slice(empty.bytes, 0, 4), Le32(2));
  EXPECT_EQ(Slice(empty.bytes, 4, 361), Bytes(361, 0));

  const Reply failed = Ask(platform_, root, kGetConnectionInformation, 365, Le32(4));
  ASSERT_TRUE(failed.ok);
  EXPECT_EQ(Slice(failed.bytes, 4, 18), Bytes(18, 0));
  EXPECT_EQ(Slice(failed.bytes, 31, 4), Le32(2));

  const HANDLE external = Open(platform_, "\\\\.\\USB#HUB#3");
  const Reply mouse = Ask(platform_, external, kGetConnectionInformation, 365, Le32(2));
  ASSERT_TRUE(mouse.ok);
  EXPECT_EQ(Slice(mouse.bytes, 4, 18), (Bytes{18, 1, 0x10, 0x01, 0, 0, 0, 8, 0x6D, 0x04, 0x77,
                                              0xC0, 0x00, 0x72, 1, 2, 0, 1}));
  EXPECT_EQ(mouse.bytes[23], 1);

  for (std::uint32_t port : {0u, 5u, 0xFFFFFFFFu}) {
    const Reply bad = Ask(platform_, root, kGetConnectionInformation, 365, Le32(port));
    EXPECT_FALSE(bad.ok) << port;
    EXPECT_EQ(bad.error, ERROR_INVALID_PARAMETER) << port;
  }
  EXPECT_FALSE(Ask(platform_, external, kGetConnectionInformation, 365, Le32(3)).ok);

  PortOf(*model_.controllers[0].rootHub, 1).faults.connectionInfoFails = true;
  EXPECT_FALSE(Ask(platform_, root, kGetConnectionInformation, 365, Le32(1)).ok);
  EXPECT_TRUE(Ask(platform_, root, kGetConnectionInformation, 365, Le32(3)).ok);
}

TEST_F(ModelPlatformTest, NameRepliesAnswerTheProbeWithTheLengthAndTheFetchWithTheText) {
  const HANDLE hcd0 = Open(platform_, "\\\\.\\HCD0");
  const HANDLE root = Open(platform_, "\\\\.\\USB#ROOT_HUB30#0");

  // "USB#ROOT_HUB30#0": 16 units and the 0 unit after a 4-byte header = 38 bytes.
  const Reply probe = Ask(platform_, hcd0, kGetRootHubName, 6);
  ASSERT_TRUE(probe.ok);
  EXPECT_EQ(Slice(probe.bytes, 0, 6), (Bytes{38, 0, 0, 0, 'U', 0}));
  EXPECT_TRUE(CanaryIntact(probe, 6));
  const Reply name = Ask(platform_, hcd0, kGetRootHubName, 38);
  ASSERT_TRUE(name.ok);
  EXPECT_EQ(Slice(name.bytes, 0, 4), Le32(38));
  EXPECT_EQ(Slice(name.bytes, 4, 34), Utf16Le("USB#ROOT_HUB30#0"));
  EXPECT_TRUE(CanaryIntact(name, 38));
  // A bigger buffer gets the same reply and nothing more.
  const Reply roomy = Ask(platform_, hcd0, kGetRootHubName, 50);
  EXPECT_EQ(Slice(roomy.bytes, 0, 38), Slice(name.bytes, 0, 38));
  EXPECT_EQ(Slice(roomy.bytes, 38, 12), Bytes(12, kCanary));

  // A 43-character driver key: 4 + 2 * 44 = 92 bytes.
  const Reply hcdKey = Ask(platform_, hcd0, kGetHcdDriverKey, 6);
  EXPECT_EQ(Slice(hcdKey.bytes, 0, 6), (Bytes{92, 0, 0, 0, '{', 0}));
  const Reply hcdKeyFull = Ask(platform_, hcd0, kGetHcdDriverKey, 92);
  EXPECT_EQ(Slice(hcdKeyFull.bytes, 4, 88),
            Utf16Le("{36fc9e60-c465-11cf-8056-444553540000}\\0000"));

  // Connection replies carry the port number first: "USB#HUB#3" is 8 + 2 * 10 = 28 bytes.
  const Reply hubProbe = Ask(platform_, root, kGetConnectionName, 10, Le32(3));
  ASSERT_TRUE(hubProbe.ok);
  EXPECT_EQ(Slice(hubProbe.bytes, 0, 10), (Bytes{3, 0, 0, 0, 28, 0, 0, 0, 'U', 0}));
  EXPECT_TRUE(CanaryIntact(hubProbe, 10));
  const Reply hubName = Ask(platform_, root, kGetConnectionName, 28, Le32(3));
  EXPECT_EQ(Slice(hubName.bytes, 8, 20), Utf16Le("USB#HUB#3"));

  const Reply keyProbe = Ask(platform_, root, kGetConnectionDriverKey, 10, Le32(1));
  EXPECT_EQ(Slice(keyProbe.bytes, 0, 10), (Bytes{1, 0, 0, 0, 96, 0, 0, 0, '{', 0}));
  const Reply keyName = Ask(platform_, root, kGetConnectionDriverKey, 96, Le32(1));
  EXPECT_EQ(Slice(keyName.bytes, 8, 88),
            Utf16Le("{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0012"));

  // No hub on port 1, nothing on ports 2 and 4: empty names (header and the 0 unit).
  EXPECT_EQ(Slice(Ask(platform_, root, kGetConnectionName, 10, Le32(1)).bytes, 0, 10),
            (Bytes{1, 0, 0, 0, 10, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Slice(Ask(platform_, root, kGetConnectionDriverKey, 10, Le32(2)).bytes, 4, 6),
            (Bytes{10, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Slice(Ask(platform_, root, kGetConnectionDriverKey, 10, Le32(4)).bytes, 4, 6),
            (Bytes{10, 0, 0, 0, 0, 0}));

  // A buffer smaller than the header fails and stays untouched.
  const Reply tiny = Ask(platform_, hcd0, kGetRootHubName, 3);
  EXPECT_FALSE(tiny.ok);
  EXPECT_EQ(tiny.error, ERROR_INSUFFICIENT_BUFFER);
  const Reply tinyConnection = Ask(platform_, root, kGetConnectionName, 7, Le32(3));
  EXPECT_FALSE(tinyConnection.ok);
  EXPECT_TRUE(CanaryIntact(tinyConnection, 4));

  // Hub codes on a controller, and controller codes on a hub, are not answered.
  EXPECT_FALSE(Ask(platform_, hcd0, kGetConnectionName, 10, Le32(3)).ok);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Ask(platform_, root, kGetHcdDriverKey, 6).ok);

  const ModelPlatform::Counters& counts = platform_.Counts();
  EXPECT_EQ(counts.rootHubNameQueries, 4u);
  EXPECT_EQ(counts.hcdDriverKeyQueries, 2u);
  EXPECT_EQ(counts.controllerIoctls, 7u);
  EXPECT_EQ(counts.connectionNameQueries, 4u);
  EXPECT_EQ(counts.connectionDriverKeyQueries, 4u);
  EXPECT_EQ(counts.hubIoctls, 9u);
}

TEST_F(ModelPlatformTest, RootHubNameFailsWithoutARootHub) {
  model_.controllers[1].rootHub.reset();
  const HANDLE hcd1 = Open(platform_, "\\\\.\\HCD1");
  EXPECT_FALSE(Ask(platform_, hcd1, kGetRootHubName, 6).ok);
  EXPECT_TRUE(Ask(platform_, hcd1, kGetHcdDriverKey, 6).ok);
}

// A small topology whose four names are short: controller driver key "HC", root hub "RH",
// and on port 1 a hub with driver key "KEY1" and name "HUB1".
model::UsbModel ShortNames(model::NameFault fault) {
  model::UsbModel m;
  model::Controller& controller = m.controllers.emplace_back();
  controller.driverKey = "HC";
  controller.faults.driverKeyName = fault;
  controller.rootHub = MakeHub("RH", 1);
  model::Port& port = AddPort(*controller.rootHub, 1);
  port.faults.driverKeyName = fault;
  port.device = std::make_unique<model::Device>();
  port.device->driverKey = "KEY1";
  port.device->hub = MakeHub("HUB1", 1);
  return m;
}

struct FaultCase {
  model::NameFault fault;
  std::uint32_t shortLength;  // announced in a 6-byte reply of "HC"
  std::uint32_t longLength;   // announced in a 10-byte reply of "KEY1"
  bool probeOk;
  bool fetchOk;
  Bytes shortText;  // what the fetch with the announced size holds after the header
  Bytes longText;
};

TEST(ModelPlatformNameFaults, EachFaultShapesTheProbeAndTheFetch) {
  using F = model::NameFault;
  const std::vector<FaultCase> cases = {
      {F::None, 10, 18, true, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {F::ProbeFails, 10, 18, false, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {F::FetchFails, 10, 18, true, false, {}, {}},
      {F::ConversionFails, 10, 18, true, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {F::BareHeader, 6, 10, true, true, {0, 0}, {0, 0}},
      {F::ShortLength, 4, 8, true, true, {}, {}},
      {F::OddLength, 9, 17, true, true, Utf16Le("HC", false), Utf16Le("KEY1", false)},
      {F::NoTerminator, 8, 16, true, true, Utf16Le("HC", false), Utf16Le("KEY1", false)},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(model::NameFaultName(c.fault));
    ModelPlatform platform(ShortNames(c.fault));
    const HANDLE hcd = Open(platform, "\\\\.\\HCD0");
    const HANDLE hub = Open(platform, "\\\\.\\RH");

    const Reply shortProbe = Ask(platform, hcd, kGetHcdDriverKey, 6);
    EXPECT_EQ(shortProbe.ok, c.probeOk);
    if (c.probeOk) {
      EXPECT_EQ(Slice(shortProbe.bytes, 0, 4), Le32(c.shortLength));
    }
    const Reply longProbe = Ask(platform, hub, kGetConnectionDriverKey, 10, Le32(1));
    EXPECT_EQ(longProbe.ok, c.probeOk);
    if (c.probeOk) {
      EXPECT_EQ(Slice(longProbe.bytes, 4, 4), Le32(c.longLength));
    }

    const Reply shortFetch = Ask(platform, hcd, kGetHcdDriverKey, c.shortLength);
    EXPECT_EQ(shortFetch.ok, c.fetchOk);
    if (c.fetchOk) {
      EXPECT_EQ(Slice(shortFetch.bytes, 4, c.shortText.size()), c.shortText);
      EXPECT_TRUE(CanaryIntact(shortFetch, 4 + c.shortText.size()));
    }
    const Reply longFetch = Ask(platform, hub, kGetConnectionDriverKey, c.longLength, Le32(1));
    EXPECT_EQ(longFetch.ok, c.fetchOk);
    if (c.fetchOk) {
      EXPECT_EQ(Slice(longFetch.bytes, 0, 4), Le32(1));
      EXPECT_EQ(Slice(longFetch.bytes, 8, c.longText.size()), c.longText);
      EXPECT_TRUE(CanaryIntact(longFetch, 8 + c.longText.size()));
    }

    // The fault belongs to its own query: the root hub name and the hub name stay sound.
    EXPECT_EQ(Slice(Ask(platform, hcd, kGetRootHubName, 6).bytes, 0, 4), Le32(10));
    EXPECT_EQ(Slice(Ask(platform, hub, kGetConnectionName, 10, Le32(1)).bytes, 4, 4), Le32(18));
  }
}

TEST(ModelPlatformNameFaults, AbsurdLengthAnnouncesFarMoreThanAnyName) {
  model::UsbModel m = ShortNames(model::NameFault::None);
  m.controllers[0].faults.rootHubName = model::NameFault::AbsurdLength;
  m.controllers[0].rootHub->ports[0].faults.hubName = model::NameFault::AbsurdLength;
  ModelPlatform platform(m);
  const Reply root = Ask(platform, Open(platform, "\\\\.\\HCD0"), kGetRootHubName, 6);
  ASSERT_TRUE(root.ok);
  EXPECT_EQ(Slice(root.bytes, 0, 4), (Bytes{0xF0, 0xFF, 0xFF, 0x7F}));
  const Reply hub = Ask(platform, Open(platform, "\\\\.\\RH"), kGetConnectionName, 10, Le32(1));
  ASSERT_TRUE(hub.ok);
  EXPECT_EQ(Slice(hub.bytes, 4, 4), (Bytes{0xF0, 0xFF, 0xFF, 0x7F}));
}

TEST(ModelPlatformNameFaults, ConversionFailsOnlyForTheMarkedText) {
  ModelPlatform platform(ShortNames(model::NameFault::ConversionFails));
  const std::basic_string<WCHAR> key = Wide(u"KEY1");
  const std::basic_string<WCHAR> other = Wide(u"HUB1");
  char out[16];
  // Before the reply has been given, the text converts like any other.
  EXPECT_EQ(platform.WideCharToMultiByte(CP_ACP, 0, key.c_str(), -1, nullptr, 0, nullptr,
                                         nullptr),
            5);
  ASSERT_TRUE(Ask(platform, Open(platform, "\\\\.\\RH"), kGetConnectionDriverKey, 18, Le32(1)).ok);
  EXPECT_EQ(platform.WideCharToMultiByte(CP_ACP, 0, key.c_str(), -1, nullptr, 0, nullptr,
                                         nullptr),
            0);
  EXPECT_EQ(platform.GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(platform.WideCharToMultiByte(CP_ACP, 0, key.c_str(), -1, out, 16, nullptr, nullptr),
            0);
  EXPECT_EQ(platform.WideCharToMultiByte(CP_ACP, 0, other.c_str(), -1, out, 16, nullptr,
                                         nullptr),
            5);
  EXPECT_STREQ(out, "HUB1");
}

TEST_F(ModelPlatformTest, WideCharToMultiByteConvertsToTheModelCodePage) {
  // A narrow literal is GBK in this build: the bytes code page 936 must produce.
  const std::basic_string<WCHAR> dongle = Wide(u"加密狗");
  EXPECT_EQ(platform_.WideCharToMultiByte(CP_ACP, 0, dongle.c_str(), -1, nullptr, 0, nullptr,
                                          nullptr),
            7);
  char out[16];
  std::memset(out, kCanary, sizeof out);
  EXPECT_EQ(platform_.WideCharToMultiByte(CP_ACP, 0, dongle.c_str(), -1, out, 7, nullptr,
                                          nullptr),
            7);
  EXPECT_EQ(std::string(out, 7), std::string("加密狗", 7));
  EXPECT_EQ(static_cast<unsigned char>(out[7]), kCanary);

  // A positive length converts exactly that many units and adds no terminator.
  std::memset(out, kCanary, sizeof out);
  EXPECT_EQ(platform_.WideCharToMultiByte(CP_ACP, 0, dongle.c_str(), 2, out, 16, nullptr,
                                          nullptr),
            4);
  EXPECT_EQ(std::string(out, 4), "\xBC\xD3\xC3\xDC");
  EXPECT_EQ(static_cast<unsigned char>(out[4]), kCanary);

  EXPECT_EQ(platform_.WideCharToMultiByte(CP_ACP, 0, dongle.c_str(), -1, out, 6, nullptr,
                                          nullptr),
            0);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(platform_.WideCharToMultiByte(CP_ACP, 0, dongle.c_str(), 0, out, 16, nullptr,
                                          nullptr),
            0);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_PARAMETER);

  // Thai is not in code page 936: the default character stands in for it.
  const std::basic_string<WCHAR> mixed = Wide(u"A\u0E01B");
  BOOL usedDefault = FALSE;
  EXPECT_EQ(platform_.WideCharToMultiByte(CP_ACP, 0, mixed.c_str(), -1, out, 16, nullptr,
                                          &usedDefault),
            4);
  EXPECT_STREQ(out, "A?B");
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(platform_.Counts().conversions, 6u);
}

TEST(ModelPlatformCodePages, OtherCodePagesConvertThroughTheirOwnTables) {
  model::UsbModel m;
  m.ansiCodePage = 1252;
  m.computerName = U8(u8"CAFÉ-加");
  ModelPlatform western(m);
  char out[16];
  DWORD size = sizeof out;
  ASSERT_TRUE(western.GetComputerNameA(out, &size));
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(out, 7), std::string("CAF\xC9-?\0", 7));

  m.ansiCodePage = 65001;
  ModelPlatform unicode(m);
  size = sizeof out;
  ASSERT_TRUE(unicode.GetComputerNameA(out, &size));
  EXPECT_EQ(std::string(out, size), "CAF\xC3\x89-\xE5\x8A\xA0");
}

TEST_F(ModelPlatformTest, DatabaseListsControllersThenUsbDevicesDepthFirstThenOthers) {
  const HDEVINFO set = platform_.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 6);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform_.OpenDeviceSetCount(), 1u);

  const std::vector<std::string> expected = {
      "{36fc9e60-c465-11cf-8056-444553540000}\\0000",
      "{36fc9e60-c465-11cf-8056-444553540000}\\0001",
      "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0012",  // port 1: the key
      "{36fc9e60-c465-11cf-8056-444553540000}\\0004",  // port 3: the hub
      "{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0013",  // behind the hub: the mouse
      "{4d36e968-e325-11ce-bfc1-08002be10318}\\0000",
      "(no driver key)",
  };
  std::vector<std::string> seen;
  SP_DEVINFO_DATA element{};
  element.cbSize = sizeof element;
  DWORD index = 0;
  for (; platform_.SetupDiEnumDeviceInfo(set, index, &element); ++index) {
    EXPECT_EQ(element.DevInst, index);
    char buffer[64];
    DWORD required = 0;
    if (platform_.SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_DRIVER, nullptr,
                                                    reinterpret_cast<BYTE*>(buffer),
                                                    sizeof buffer, &required)) {
      seen.emplace_back(buffer);
      EXPECT_EQ(required, 44u);
    } else {
      EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_DATA);
      seen.emplace_back("(no driver key)");
    }
  }
  EXPECT_EQ(platform_.GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(seen, expected);

  element.cbSize = sizeof element - 1;
  EXPECT_FALSE(platform_.SetupDiEnumDeviceInfo(set, 0, &element));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_USER_BUFFER);

  EXPECT_TRUE(platform_.SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(platform_.SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(platform_.OpenDeviceSetCount(), 0u);
  EXPECT_EQ(platform_.Counts().deviceSetEnumerations, 1u);
  EXPECT_EQ(platform_.Counts().propertyReads, 7u);
}

class DatabaseReads : public ModelPlatformTest {
 protected:
  void SetUp() override {
    set_ = platform_.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 6);
    ASSERT_NE(set_, INVALID_HANDLE_VALUE);
  }
  // Reads a property of entry `index` declaring `size` bytes.
  BOOL Read(DWORD index, DWORD property, DWORD size, DWORD* required, Bytes* out) {
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    EXPECT_TRUE(platform_.SetupDiEnumDeviceInfo(set_, index, &element));
    out->assign(size + kCanaryBytes, kCanary);
    *required = 0;
    return platform_.SetupDiGetDeviceRegistryPropertyA(set_, &element, property, nullptr,
                                                       size ? out->data() : nullptr, size,
                                                       required);
  }
  HDEVINFO set_ = nullptr;
};

TEST_F(DatabaseReads, AFriendlyNameNeedsTheSizeItAnnounces) {
  DWORD required = 0;
  Bytes out;
  EXPECT_FALSE(Read(2, SPDRP_FRIENDLYNAME, 0, &required, &out));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, 7u);  // three GBK characters and the terminator
  EXPECT_FALSE(Read(2, SPDRP_FRIENDLYNAME, 6, &required, &out));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Slice(out, 0, 6), Bytes(6, kCanary));
  ASSERT_TRUE(Read(2, SPDRP_FRIENDLYNAME, 7, &required, &out));
  EXPECT_EQ(required, 7u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 7), std::string("加密狗", 7));
  EXPECT_EQ(out[7], kCanary);

  // The mouse has no friendly name; the second controller neither.
  EXPECT_FALSE(Read(4, SPDRP_FRIENDLYNAME, 64, &required, &out));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_DATA);
  EXPECT_FALSE(Read(1, SPDRP_FRIENDLYNAME, 0, &required, &out));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_DATA);
  // Other properties are absent.
  EXPECT_FALSE(Read(2, 0 /* SPDRP_DEVICEDESC */, 64, &required, &out));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_DATA);
}

TEST_F(DatabaseReads, ReadFaultsFailAsTheModelSays) {
  model::Device& key = *PortOf(*model_.controllers[0].rootHub, 1).device;
  key.databaseFaults = {true, true};
  platform_.SetupDiDestroyDeviceInfoList(set_);
  set_ = platform_.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 6);

  DWORD required = 0;
  Bytes out;
  EXPECT_FALSE(Read(2, SPDRP_DRIVER, 0, &required, &out));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_DATA);
  // The friendly name asks for room first, then fails once it has it.
  EXPECT_FALSE(Read(2, SPDRP_FRIENDLYNAME, 0, &required, &out));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, 7u);
  EXPECT_FALSE(Read(2, SPDRP_FRIENDLYNAME, 7, &required, &out));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_DATA);
  EXPECT_EQ(Slice(out, 0, 7), Bytes(7, kCanary));
  // The hub next to it reads normally.
  EXPECT_TRUE(Read(3, SPDRP_DRIVER, 44, &required, &out));
}

TEST(ModelPlatformDatabase, ASetThatCannotBeMadeIsAnInvalidHandle) {
  model::UsbModel m = SampleModel();
  m.deviceSetFails = true;
  ModelPlatform platform(std::move(m));  // the platform keeps a model it is given
  EXPECT_TRUE(platform.Model().deviceSetFails);
  EXPECT_EQ(platform.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 6), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenDeviceSetCount(), 0u);
  EXPECT_EQ(platform.Counts().deviceSetEnumerations, 1u);
}

TEST_F(ModelPlatformTest, ComputerNameFollowsTheBufferSizeProtocol) {
  char buffer[32];
  std::memset(buffer, kCanary, sizeof buffer);
  DWORD size = 13;  // the name's length: no room for the terminator
  EXPECT_FALSE(platform_.GetComputerNameA(buffer, &size));
  EXPECT_EQ(platform_.GetLastError(), kBufferOverflow);
  EXPECT_EQ(size, 14u);
  EXPECT_EQ(static_cast<unsigned char>(buffer[0]), kCanary);

  size = 14;
  ASSERT_TRUE(platform_.GetComputerNameA(buffer, &size));
  EXPECT_EQ(size, 13u);
  EXPECT_STREQ(buffer, "WORKSTATION-7");
  EXPECT_EQ(static_cast<unsigned char>(buffer[14]), kCanary);

  model_.computerName.reset();
  size = sizeof buffer;
  EXPECT_FALSE(platform_.GetComputerNameA(buffer, &size));
  EXPECT_EQ(platform_.GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(UsbModelEquality, ComparesDeeplyAndClonesDeeply) {
  const model::UsbModel original = SampleModel();
  model::UsbModel copy = model::Clone(original);
  EXPECT_TRUE(copy == original);
  EXPECT_NE(copy.controllers[0].rootHub.get(), original.controllers[0].rootHub.get());

  PortOf(*PortOf(*copy.controllers[0].rootHub, 3).device->hub, 2).device->lowSpeed = false;
  EXPECT_FALSE(copy == original);
  copy = model::Clone(original);
  PortOf(*copy.controllers[0].rootHub, 4).connectionStatus.reset();
  EXPECT_FALSE(copy == original);
  copy = model::Clone(original);
  copy.controllers[1].rootHub.reset();
  EXPECT_FALSE(copy == original);
  copy = model::Clone(original);
  copy.otherDevices[1].databaseFaults.friendlyNameReadFails = true;
  EXPECT_FALSE(copy == original);
}

// --- text conversion

TEST(TextCodec, GbkAndUnicodeConvertBothWays) {
  EXPECT_EQ(keldar::Utf8ToAnsi(U8(u8"加密狗"), 936), "加密狗");
  EXPECT_EQ(keldar::AnsiToUtf8("加密狗", 936), U8(u8"加密狗"));
  EXPECT_EQ(keldar::Utf16ToCodePage(u"中文", 936), "\xD6\xD0\xCE\xC4");
  // An astral character (U+1F600) takes a surrogate pair in UTF-16 and four bytes in UTF-8.
  EXPECT_EQ(keldar::Utf8ToUtf16("A\xE5\x8A\xA0\xF0\x9F\x98\x80"), u"A\u52A0\xD83D\xDE00");
  EXPECT_EQ(keldar::Utf16ToUtf8(u"A\u52A0\xD83D\xDE00"), "A\xE5\x8A\xA0\xF0\x9F\x98\x80");
  EXPECT_TRUE(keldar::IsSupportedCodePage(936));
  EXPECT_TRUE(keldar::IsSupportedCodePage(65001));
  EXPECT_FALSE(keldar::IsSupportedCodePage(4242));
}

TEST(TextCodec, WhatCannotBeConvertedIsReplacedNotRefused) {
  // A GBK lead byte with a bad trail byte, and one cut off at the end: U+FFFD each.
  EXPECT_EQ(keldar::AnsiToUtf8("\xBC\xD3\x81 \xBC", 936),
            U8(u8"加") + "\xEF\xBF\xBD " + "\xEF\xBF\xBD");
  // Invalid UTF-8 (a stray continuation byte, an encoded surrogate) gives one "?" per byte.
  EXPECT_EQ(keldar::Utf8ToAnsi("a\x80" "b\xED\xA0\x80", 1252), "a?b???");
  EXPECT_EQ(keldar::Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong "/"
  bool replaced = false;
  EXPECT_EQ(keldar::Utf16ToCodePage(u"caf\u00E9 \u0E01", 1252, &replaced), "caf\xE9 ?");
  EXPECT_TRUE(replaced);
  EXPECT_EQ(keldar::Utf16ToCodePage(u"plain", 1252, &replaced), "plain");
  EXPECT_FALSE(replaced);
  const char16_t lone[] = {u'x', 0xD800, u'y', 0};
  EXPECT_EQ(keldar::Utf16ToCodePage(lone, 936), "x?y");
  EXPECT_EQ(keldar::Utf16ToUtf8(lone), "x\xEF\xBF\xBDy");
  // A code page nobody converts still passes ASCII.
  EXPECT_EQ(keldar::AnsiToUtf8("ok\xE9", 4242), "ok\xEF\xBF\xBD");
  EXPECT_EQ(keldar::Utf8ToAnsi(U8(u8"ok加"), 4242), "ok?");
}

}  // namespace
