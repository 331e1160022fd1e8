#include "platform/model/model_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "text/text_codec.h"
#include "model/topology_file.h"

namespace {

using keldar::ModelPlatform;
namespace model = keldar::model;
using Bytes = std::vector<unsigned char>;
using Sizes = std::vector<std::size_t>;

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

// An ASCII text as UTF-16LE bytes, with its 0 unit when `terminated`.
Bytes Utf16Le(std::string_view ascii, bool terminated = true) {
  Bytes bytes;
  for (char c : ascii) bytes.insert(bytes.end(), {static_cast<unsigned char>(c), 0});
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t count) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

// `head`, then zero bytes up to `size`.
Bytes Padded(Bytes head, std::size_t size) {
  head.resize(size, 0);
  return head;
}

Bytes Le32(std::uint32_t value) {
  return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
          static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
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

  Bytes At(std::size_t from, std::size_t count) const { return Slice(bytes, from, count); }
  bool CanaryFrom(std::size_t from) const {
    return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                       [](unsigned char b) { return b == kCanary; });
  }
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

// WideCharToMultiByte to the model's code page; WCHAR is char16_t here, wchar_t on Windows.
int ToAnsi(ModelPlatform& platform, std::u16string_view text, int length, char* out, int size,
           BOOL* usedDefault = nullptr) {
  const std::basic_string<WCHAR> wide(text.begin(), text.end());
  return platform.WideCharToMultiByte(CP_ACP, 0, wide.c_str(), length, out, size, nullptr,
                                      usedDefault);
}

class ModelPlatformTest : public ::testing::Test {
 protected:
  model::UsbModel model_ = SampleModel();
  ModelPlatform platform_{model_};
};

TEST_F(ModelPlatformTest, OpensControllersAndHubsByPathWithDistinctHandles) {
  std::vector<HANDLE> handles;
  for (const char* path : {"\\\\.\\HCD0", "\\\\.\\HCD1", "\\\\.\\HCD0", "\\\\.\\USB#ROOT_HUB30#0",
                           "\\\\.\\USB#HUB#3"})
    handles.push_back(Open(platform_, path));
  for (HANDLE h : handles) {
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(std::count(handles.begin(), handles.end(), h), 1);
  }
  for (const char* path : {"\\\\.\\HCD2", "\\\\.\\HCD01", "\\\\.\\HCD", "\\\\.\\hcd0", "HCD0",
                           "\\\\.\\", "\\\\.\\USB#HUB#4", "\\\\.\\usb#hub#3"}) {
    EXPECT_EQ(Open(platform_, path), INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(platform_.GetLastError(), ERROR_FILE_NOT_FOUND) << path;
  }
  EXPECT_EQ(platform_.OpenHandleCount(), 5u);

  EXPECT_TRUE(platform_.CloseHandle(handles[1]));
  EXPECT_FALSE(platform_.CloseHandle(handles[1]));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(platform_.CloseHandle(INVALID_HANDLE_VALUE));
  EXPECT_EQ(platform_.OpenHandleCount(), 4u);
  // A closed handle answers nothing.
  EXPECT_FALSE(Ask(platform_, handles[1], kGetRootHubName, 6).ok);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_HANDLE);

  for (std::size_t i : {0, 2, 3, 4}) EXPECT_TRUE(platform_.CloseHandle(handles[i]));
  EXPECT_EQ(platform_.OpenHandleCount(), 0u);
  const ModelPlatform::Counters& c = platform_.Counts();
  EXPECT_EQ((Sizes{c.createFileCalls, c.failedOpens, c.closeHandleCalls}), (Sizes{13, 8, 7}));
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
  const HANDLE external = Open(platform_, "\\\\.\\USB#HUB#3");
  // NodeType 0 (UsbHub); the hub descriptor: length 9, type 0x29, ports, characteristics
  // little-endian, power-on-to-good, control current; 64 bytes of bRemoveAndPowerMask;
  // HubIsBusPowered.
  const Reply reply = Ask(platform_, root, kGetNodeInformation, 76);
  ASSERT_TRUE(reply.ok);
  EXPECT_EQ(reply.At(0, 76), Padded({0, 0, 0, 0, 9, 0x29, 4, 0xA9, 0x00, 50, 0}, 76));
  EXPECT_TRUE(reply.CanaryFrom(76));
  Bytes hub = Padded({0, 0, 0, 0, 9, 0x29, 2, 0xE0, 0x00, 50, 100}, 76);
  hub[75] = 1;
  EXPECT_EQ(Ask(platform_, external, kGetNodeInformation, 76).At(0, 76), hub);

  const Reply small = Ask(platform_, root, kGetNodeInformation, 75);
  EXPECT_FALSE(small.ok);
  EXPECT_EQ(small.error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(small.CanaryFrom(0));

  model_.controllers[0].rootHub->faults.nodeInfoFails = true;
  EXPECT_FALSE(Ask(platform_, root, kGetNodeInformation, 76).ok);
  EXPECT_TRUE(Ask(platform_, external, kGetNodeInformation, 76).ok);
  const ModelPlatform::Counters& c = platform_.Counts();
  EXPECT_EQ((Sizes{c.hubIoctls, c.nodeInformationQueries}), (Sizes{5, 5}));
}

TEST_F(ModelPlatformTest, ConnectionInformationIsThe365ByteRecord) {
  const HANDLE root = Open(platform_, "\\\\.\\USB#ROOT_HUB30#0");
  const HANDLE external = Open(platform_, "\\\\.\\USB#HUB#3");
  // ConnectionIndex; the device descriptor (length 18, type 1, bcdUSB, class/subclass/protocol,
  // packet size, vendor, product, bcdDevice, strings, configurations); CurrentConfigurationValue,
  // LowSpeed, DeviceIsHub, DeviceAddress, NumberOfOpenPipes, ConnectionStatus; then 30 empty
  // pipe entries.
  const Reply key = Ask(platform_, root, kGetConnectionInformation, 365, Le32(1));
  ASSERT_TRUE(key.ok);
  EXPECT_EQ(key.At(0, 365), Padded({1, 0, 0, 0, 18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x6E, 0x09, 0x01,
                                    0x02, 0x00, 0x01, 1, 2, 0, 1, 1, 0, 0, 2, 0, 0, 0, 0, 0, 1,
                                    0, 0, 0},
                                   365));
  EXPECT_TRUE(key.CanaryFrom(365));
  EXPECT_EQ(Ask(platform_, root, kGetConnectionInformation, 365, Le32(3)).At(0, 35),
            (Bytes{3, 0, 0, 0, 18, 1, 0x00, 0x02, 9, 0, 1, 64, 0xE3, 0x05, 0x08, 0x06, 0x37,
                   0x85, 0, 0, 0, 1, 1, 0, 1, 3, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(Ask(platform_, external, kGetConnectionInformation, 365, Le32(2)).At(0, 35),
            (Bytes{2, 0, 0, 0, 18, 1, 0x10, 0x01, 0, 0, 0, 8, 0x6D, 0x04, 0x77, 0xC0, 0x00,
                   0x72, 1, 2, 0, 1, 1, 1, 0, 4, 0, 0, 0, 0, 0, 1, 0, 0, 0}));
  // Port 2 is not listed: nothing attached, a zero record. Port 4 failed its enumeration.
  EXPECT_EQ(Ask(platform_, root, kGetConnectionInformation, 365, Le32(2)).At(0, 365),
            Padded({2, 0, 0, 0}, 365));
  Bytes failed = Padded({4, 0, 0, 0}, 365);
  failed[31] = 2;
  EXPECT_EQ(Ask(platform_, root, kGetConnectionInformation, 365, Le32(4)).At(0, 365), failed);

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
  EXPECT_EQ(probe.At(0, 6), (Bytes{38, 0, 0, 0, 'U', 0}));
  EXPECT_TRUE(probe.CanaryFrom(6));
  // A bigger buffer than announced gets the same reply and nothing more.
  const Reply name = Ask(platform_, hcd0, kGetRootHubName, 50);
  ASSERT_TRUE(name.ok);
  EXPECT_EQ(name.At(0, 4), Le32(38));
  EXPECT_EQ(name.At(4, 34), Utf16Le("USB#ROOT_HUB30#0"));
  EXPECT_EQ(name.At(38, 12), Bytes(12, kCanary));

  // A 43-character driver key: 4 + 2 * 44 = 92 bytes.
  EXPECT_EQ(Ask(platform_, hcd0, kGetHcdDriverKey, 6).At(0, 6), (Bytes{92, 0, 0, 0, '{', 0}));
  const Reply hcdKey = Ask(platform_, hcd0, kGetHcdDriverKey, 92);
  EXPECT_EQ(hcdKey.At(4, 88), Utf16Le("{36fc9e60-c465-11cf-8056-444553540000}\\0000"));
  EXPECT_TRUE(hcdKey.CanaryFrom(92));

  // Connection replies carry the port number first: "USB#HUB#3" is 8 + 2 * 10 = 28 bytes.
  const Reply hubProbe = Ask(platform_, root, kGetConnectionName, 10, Le32(3));
  ASSERT_TRUE(hubProbe.ok);
  EXPECT_EQ(hubProbe.At(0, 10), (Bytes{3, 0, 0, 0, 28, 0, 0, 0, 'U', 0}));
  EXPECT_TRUE(hubProbe.CanaryFrom(10));
  EXPECT_EQ(Ask(platform_, root, kGetConnectionName, 28, Le32(3)).At(8, 20),
            Utf16Le("USB#HUB#3"));
  EXPECT_EQ(Ask(platform_, root, kGetConnectionDriverKey, 10, Le32(1)).At(0, 10),
            (Bytes{1, 0, 0, 0, 96, 0, 0, 0, '{', 0}));
  EXPECT_EQ(Ask(platform_, root, kGetConnectionDriverKey, 96, Le32(1)).At(8, 88),
            Utf16Le("{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0012"));

  // No hub on port 1, nothing on ports 2 and 4: empty names (header and the 0 unit).
  EXPECT_EQ(Ask(platform_, root, kGetConnectionName, 10, Le32(1)).At(0, 10),
            (Bytes{1, 0, 0, 0, 10, 0, 0, 0, 0, 0}));
  for (std::uint32_t port : {2u, 4u})
    EXPECT_EQ(Ask(platform_, root, kGetConnectionDriverKey, 10, Le32(port)).At(4, 6),
              (Bytes{10, 0, 0, 0, 0, 0}));

  // A buffer smaller than the header fails and stays untouched.
  const Reply tiny = Ask(platform_, hcd0, kGetRootHubName, 3);
  EXPECT_FALSE(tiny.ok);
  EXPECT_EQ(tiny.error, ERROR_INSUFFICIENT_BUFFER);
  const Reply tinyConnection = Ask(platform_, root, kGetConnectionName, 7, Le32(3));
  EXPECT_FALSE(tinyConnection.ok);
  EXPECT_TRUE(tinyConnection.CanaryFrom(4));

  // Hub codes on a controller, and controller codes on a hub, are not answered.
  EXPECT_FALSE(Ask(platform_, hcd0, kGetConnectionName, 10, Le32(3)).ok);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Ask(platform_, root, kGetHcdDriverKey, 6).ok);

  const ModelPlatform::Counters& c = platform_.Counts();
  EXPECT_EQ((Sizes{c.rootHubNameQueries, c.hcdDriverKeyQueries, c.controllerIoctls,
                   c.connectionNameQueries, c.connectionDriverKeyQueries, c.hubIoctls}),
            (Sizes{3, 2, 6, 4, 4, 9}));

  // Without a root hub the root hub name fails; the driver key still answers.
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
  controller.rootHub = std::make_unique<model::Hub>();
  controller.rootHub->name = "RH";
  controller.rootHub->descriptor.bNumberOfPorts = 1;
  model::Port& port = controller.rootHub->ports.emplace_back();
  port.faults.driverKeyName = fault;
  port.device = std::make_unique<model::Device>();
  port.device->driverKey = "KEY1";
  port.device->hub = std::make_unique<model::Hub>();
  port.device->hub->name = "HUB1";
  port.device->hub->descriptor.bNumberOfPorts = 1;
  return m;
}

TEST(ModelPlatformNameFaults, EachFaultShapesTheProbeAndTheFetch) {
  using F = model::NameFault;
  const struct {
    model::NameFault fault;
    std::uint32_t shortLength;  // announced in a 6-byte reply of "HC"
    std::uint32_t longLength;   // announced in a 10-byte reply of "KEY1"
    bool probeOk;
    bool fetchOk;
    Bytes shortText;  // what the fetch with the announced size holds after the header
    Bytes longText;
  } cases[] = {
      {F::None, 10, 18, true, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {F::ProbeFails, 10, 18, false, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {F::FetchFails, 10, 18, true, false, {}, {}},
      {F::ConversionFails, 10, 18, true, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {F::BareHeader, 6, 10, true, true, {0, 0}, {0, 0}},
      {F::ShortLength, 4, 8, true, true, {}, {}},
      {F::OddLength, 9, 17, true, true, Utf16Le("HC", false), Utf16Le("KEY1", false)},
      {F::NoTerminator, 8, 16, true, true, Utf16Le("HC", false), Utf16Le("KEY1", false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(model::NameFaultName(c.fault));
    ModelPlatform platform(ShortNames(c.fault));
    const HANDLE hcd = Open(platform, "\\\\.\\HCD0");
    const HANDLE hub = Open(platform, "\\\\.\\RH");

    const Reply shortProbe = Ask(platform, hcd, kGetHcdDriverKey, 6);
    const Reply longProbe = Ask(platform, hub, kGetConnectionDriverKey, 10, Le32(1));
    EXPECT_EQ(shortProbe.ok, c.probeOk);
    EXPECT_EQ(longProbe.ok, c.probeOk);
    if (c.probeOk) {
      EXPECT_EQ(shortProbe.At(0, 4), Le32(c.shortLength));
      EXPECT_EQ(longProbe.At(4, 4), Le32(c.longLength));
    }
    const Reply shortFetch = Ask(platform, hcd, kGetHcdDriverKey, c.shortLength);
    const Reply longFetch = Ask(platform, hub, kGetConnectionDriverKey, c.longLength, Le32(1));
    EXPECT_EQ(shortFetch.ok, c.fetchOk);
    EXPECT_EQ(longFetch.ok, c.fetchOk);
    if (c.fetchOk) {
      EXPECT_EQ(shortFetch.At(4, c.shortText.size()), c.shortText);
      EXPECT_TRUE(shortFetch.CanaryFrom(4 + c.shortText.size()));
      EXPECT_EQ(longFetch.At(0, 4), Le32(1));
      EXPECT_EQ(longFetch.At(8, c.longText.size()), c.longText);
      EXPECT_TRUE(longFetch.CanaryFrom(8 + c.longText.size()));
    }
    // The fault belongs to its own query: the root hub name and the hub name stay sound.
    EXPECT_EQ(Ask(platform, hcd, kGetRootHubName, 6).At(0, 4), Le32(10));
    EXPECT_EQ(Ask(platform, hub, kGetConnectionName, 10, Le32(1)).At(4, 4), Le32(18));
  }
}

TEST(ModelPlatformNameFaults, AbsurdLengthAnnouncesFarMoreThanAnyName) {
  model::UsbModel m = ShortNames(model::NameFault::None);
  m.controllers[0].faults.rootHubName = model::NameFault::AbsurdLength;
  m.controllers[0].rootHub->ports[0].faults.hubName = model::NameFault::AbsurdLength;
  ModelPlatform platform(m);
  const Reply root = Ask(platform, Open(platform, "\\\\.\\HCD0"), kGetRootHubName, 6);
  const Reply hub = Ask(platform, Open(platform, "\\\\.\\RH"), kGetConnectionName, 10, Le32(1));
  ASSERT_TRUE(root.ok && hub.ok);
  EXPECT_EQ(root.At(0, 4), (Bytes{0xF0, 0xFF, 0xFF, 0x7F}));
  EXPECT_EQ(hub.At(4, 4), (Bytes{0xF0, 0xFF, 0xFF, 0x7F}));
}

TEST(ModelPlatformNameFaults, ConversionFailsOnlyForTheMarkedText) {
  ModelPlatform platform(ShortNames(model::NameFault::ConversionFails));
  char out[16];
  // Before the reply has been given, the text converts like any other.
  EXPECT_EQ(ToAnsi(platform, u"KEY1", -1, nullptr, 0), 5);
  ASSERT_TRUE(Ask(platform, Open(platform, "\\\\.\\RH"), kGetConnectionDriverKey, 18, Le32(1)).ok);
  EXPECT_EQ(ToAnsi(platform, u"KEY1", -1, nullptr, 0), 0);
  EXPECT_EQ(platform.GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(ToAnsi(platform, u"KEY1", -1, out, 16), 0);
  EXPECT_EQ(ToAnsi(platform, u"HUB1", -1, out, 16), 5);
  EXPECT_STREQ(out, "HUB1");
}

TEST_F(ModelPlatformTest, WideCharToMultiByteConvertsToTheModelCodePage) {
  // A narrow literal is GBK in this build: the bytes code page 936 must produce.
  char out[16];
  std::memset(out, kCanary, sizeof out);
  EXPECT_EQ(ToAnsi(platform_, u"加密狗", -1, nullptr, 0), 7);
  EXPECT_EQ(ToAnsi(platform_, u"加密狗", -1, out, 7), 7);
  EXPECT_EQ(std::string(out, 8), std::string("加密狗") + '\0' + "\xCC");
  // A positive length converts exactly that many units and adds no terminator.
  std::memset(out, kCanary, sizeof out);
  EXPECT_EQ(ToAnsi(platform_, u"加密狗", 2, out, 16), 4);
  EXPECT_EQ(std::string(out, 5), "\xBC\xD3\xC3\xDC\xCC");

  EXPECT_EQ(ToAnsi(platform_, u"加密狗", -1, out, 6), 0);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(ToAnsi(platform_, u"加密狗", 0, out, 16), 0);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_PARAMETER);
  // Thai is not in code page 936: the default character stands in for it.
  BOOL usedDefault = FALSE;
  EXPECT_EQ(ToAnsi(platform_, u"A\u0E01B", -1, out, 16, &usedDefault), 4);
  EXPECT_STREQ(out, "A?B");
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(platform_.Counts().conversions, 6u);
}

TEST(ModelPlatformCodePages, OtherCodePagesConvertThroughTheirOwnTables) {
  model::UsbModel m;
  m.computerName = U8(u8"CAFÉ-加");
  char out[16];
  for (const auto& [codePage, expected] :
       {std::pair<unsigned, std::string>{1252, std::string("CAF\xC9-?", 6)},
        std::pair<unsigned, std::string>{65001, "CAF\xC3\x89-\xE5\x8A\xA0"}}) {
    m.ansiCodePage = codePage;
    ModelPlatform platform(m);
    DWORD size = sizeof out;
    ASSERT_TRUE(platform.GetComputerNameA(out, &size));
    EXPECT_EQ(std::string(out, size + 1), expected + '\0') << codePage;
  }
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
  for (DWORD index = 0; platform_.SetupDiEnumDeviceInfo(set, index, &element); ++index) {
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
  const ModelPlatform::Counters& c = platform_.Counts();
  EXPECT_EQ((Sizes{c.deviceSetEnumerations, c.propertyReads}), (Sizes{1, 7}));
}

class DatabaseReads : public ModelPlatformTest {
 protected:
  // Reads a property of entry `index` declaring `size` bytes into out_ (then the canary);
  // returns the error, 0 on success.
  DWORD Read(DWORD index, DWORD property, DWORD size) {
    const HDEVINFO set = platform_.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 6);
    SP_DEVINFO_DATA element{};
    element.cbSize = sizeof element;
    EXPECT_TRUE(platform_.SetupDiEnumDeviceInfo(set, index, &element));
    out_.assign(size + kCanaryBytes, kCanary);
    required_ = 0;
    const BOOL ok = platform_.SetupDiGetDeviceRegistryPropertyA(
        set, &element, property, nullptr, size ? out_.data() : nullptr, size, &required_);
    const DWORD error = ok ? 0 : platform_.GetLastError();
    platform_.SetupDiDestroyDeviceInfoList(set);
    return error;
  }
  Bytes out_;
  DWORD required_ = 0;
};

TEST_F(DatabaseReads, AFriendlyNameNeedsTheSizeItAnnounces) {
  EXPECT_EQ(Read(2, SPDRP_FRIENDLYNAME, 0), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required_, 7u);  // three GBK characters and the terminator
  EXPECT_EQ(Read(2, SPDRP_FRIENDLYNAME, 6), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(Slice(out_, 0, 6), Bytes(6, kCanary));
  ASSERT_EQ(Read(2, SPDRP_FRIENDLYNAME, 7), 0u);
  EXPECT_EQ(required_, 7u);
  EXPECT_EQ(std::string(out_.begin(), out_.begin() + 8), std::string("加密狗") + '\0' + "\xCC");

  // The mouse has no friendly name; the second controller neither; other properties are absent.
  EXPECT_EQ(Read(4, SPDRP_FRIENDLYNAME, 64), ERROR_INVALID_DATA);
  EXPECT_EQ(Read(1, SPDRP_FRIENDLYNAME, 0), ERROR_INVALID_DATA);
  EXPECT_EQ(Read(2, 0 /* SPDRP_DEVICEDESC */, 64), ERROR_INVALID_DATA);
}

TEST_F(DatabaseReads, ReadFaultsFailAsTheModelSays) {
  PortOf(*model_.controllers[0].rootHub, 1).device->databaseFaults = {true, true};
  EXPECT_EQ(Read(2, SPDRP_DRIVER, 0), ERROR_INVALID_DATA);
  // The friendly name asks for room first, then fails once it has it.
  EXPECT_EQ(Read(2, SPDRP_FRIENDLYNAME, 0), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required_, 7u);
  EXPECT_EQ(Read(2, SPDRP_FRIENDLYNAME, 7), ERROR_INVALID_DATA);
  EXPECT_EQ(Slice(out_, 0, 7), Bytes(7, kCanary));
  // The hub next to it reads normally.
  EXPECT_EQ(Read(3, SPDRP_DRIVER, 44), 0u);
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
  EXPECT_EQ(std::string(buffer, 15), std::string("WORKSTATION-7") + '\0' + "\xCC");

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
  const std::vector<void (*)(model::UsbModel&)> changes = {
      [](model::UsbModel& m) {
        PortOf(*PortOf(*m.controllers[0].rootHub, 3).device->hub, 2).device->lowSpeed = false;
      },
      [](model::UsbModel& m) { PortOf(*m.controllers[0].rootHub, 4).connectionStatus.reset(); },
      [](model::UsbModel& m) { m.controllers[1].rootHub.reset(); },
      [](model::UsbModel& m) { m.otherDevices[1].databaseFaults.friendlyNameReadFails = true; },
  };
  for (auto change : changes) {
    copy = model::Clone(original);
    change(copy);
    EXPECT_FALSE(copy == original);
  }
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

TEST(TextCodec, ACodePageWithoutConverterIsExplainedByName) {
  EXPECT_EQ(keldar::MissingConverter(936), "");
  EXPECT_EQ(keldar::MissingConverter(65001), "");
#ifdef _WIN32
  EXPECT_EQ(keldar::MissingConverter(4242),
            "code page 4242 cannot be converted: Windows has no conversion table for code page "
            "4242");
#else
  // glibc's converter files are here: only the code page's own converter is missing.
  EXPECT_EQ(keldar::MissingConverter(4242),
            "code page 4242 cannot be converted: iconv finds no converter for CP4242");
#endif
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
