// The model platform is test equipment: every other test trusts it to answer as the hub driver,
// SetupAPI and the code-page calls document. What it writes is bounded by the buffer it is
// given (a canary follows every buffer); its faults shape the replies as docs/topology-format.md
// says; the database lists its entries in the documented order. The records' layouts are
// pinned by platform/records.h and their contents by the golden outputs.
#include "backends/model/model_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "model/topology_file.h"
#include "text/text_codec.h"

namespace keldar {
namespace {

using Bytes = std::vector<unsigned char>;
using Fault = model::NameFault;

constexpr unsigned char kCanary = 0xCC;
constexpr std::size_t kCanaryBytes = 16;

Bytes Le32(std::uint32_t value) {
  return {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
          static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
}

// An ASCII text as UTF-16LE bytes, with its 0 unit when `terminated`.
Bytes Utf16Le(std::string_view ascii, bool terminated = true) {
  Bytes bytes;
  for (char c : ascii) bytes.insert(bytes.end(), {static_cast<unsigned char>(c), 0});
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

// Two controllers; on the first root hub (4 ports) a key on port 1, a hub "USB#HUB#3" on
// port 3 and a failed enumeration on port 4; two database entries that are not on USB. The
// ports are listed in reverse, as a model built by hand may list them.
model::UsbModel SampleModel() {
  model::UsbModel m =
      LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/model/platform-sample.json");
  std::reverse(m.controllers[0].rootHub->ports.begin(), m.controllers[0].rootHub->ports.end());
  return m;
}

HANDLE Open(ModelPlatform& platform, const std::string& path) {
  return platform.CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
}

struct Reply {
  bool ok;
  DWORD error;
  Bytes bytes;  // outSize bytes, then kCanaryBytes that must stay untouched

  Bytes At(std::size_t from, std::size_t count) const {
    return Bytes(bytes.begin() + from, bytes.begin() + from + count);
  }
  bool CanaryFrom(std::size_t from) const {
    return std::all_of(bytes.begin() + from, bytes.end(), [](auto b) { return b == kCanary; });
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

TEST_F(ModelPlatformTest, OpensExactlyTheDevicePathsAndClosesEachHandleOnce) {
  const HANDLE hub = Open(platform_, "\\\\.\\USB#HUB#3");
  for (const char* path : {"\\\\.\\HCD0", "\\\\.\\HCD1", "\\\\.\\USB#ROOT_HUB30#0"})
    EXPECT_NE(Open(platform_, path), INVALID_HANDLE_VALUE) << path;
  for (const char* path : {"\\\\.\\HCD2", "\\\\.\\HCD01", "\\\\.\\usb#hub#3"}) {
    EXPECT_EQ(Open(platform_, path), INVALID_HANDLE_VALUE) << path;
    EXPECT_EQ(platform_.GetLastError(), ERROR_FILE_NOT_FOUND) << path;
  }
  EXPECT_EQ(platform_.OpenHandleCount(), 4u);
  EXPECT_TRUE(platform_.CloseHandle(hub));
  EXPECT_FALSE(platform_.CloseHandle(hub));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(platform_.CloseHandle(INVALID_HANDLE_VALUE));
  // A closed handle answers nothing.
  EXPECT_FALSE(Ask(platform_, hub, IOCTL_USB_GET_NODE_INFORMATION, 76).ok);
  EXPECT_EQ(platform_.OpenHandleCount(), 3u);
}

TEST_F(ModelPlatformTest, RecordsFillTheirSizeAndNoMoreAndPortsFollowTheirNumbers) {
  const HANDLE root = Open(platform_, "\\\\.\\USB#ROOT_HUB30#0");
  const Reply node = Ask(platform_, root, IOCTL_USB_GET_NODE_INFORMATION, 76);
  ASSERT_TRUE(node.ok);
  EXPECT_EQ(node.bytes[6], 4);  // bNumberOfPorts
  EXPECT_TRUE(node.CanaryFrom(76));
  const Reply small = Ask(platform_, root, IOCTL_USB_GET_NODE_INFORMATION, 75);
  EXPECT_EQ(small.error, ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(small.CanaryFrom(0));
  // The input is the record too: an input shorter than it is refused, whatever the output.
  Bytes record(76, 0);
  DWORD returned = 1;
  EXPECT_FALSE(platform_.DeviceIoControl(root, IOCTL_USB_GET_NODE_INFORMATION, record.data(), 75,
                                         record.data(), 76, &returned, nullptr));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 0u);

  const Reply key = Ask(platform_, root, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 365, Le32(1));
  ASSERT_TRUE(key.ok);
  EXPECT_EQ(key.At(12, 4), (Bytes{0x6E, 0x09, 0x01, 0x02}));  // idVendor, idProduct
  EXPECT_TRUE(key.CanaryFrom(365));
  // ConnectionIndex outside 1..bNumberOfPorts is refused, as the hub driver refuses it.
  for (std::uint32_t port : {0u, 5u, 0xFFFFFFFFu}) {
    const Reply bad =
        Ask(platform_, root, IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, 365, Le32(port));
    EXPECT_EQ(bad.error, ERROR_INVALID_PARAMETER) << port;
  }
  // Hub codes on a controller, and controller codes on a hub, are not answered.
  EXPECT_FALSE(Ask(platform_, Open(platform_, "\\\\.\\HCD0"), IOCTL_USB_GET_NODE_CONNECTION_NAME,
                   10, Le32(3))
                   .ok);
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Ask(platform_, root, IOCTL_GET_HCD_DRIVERKEY_NAME, 6).ok);
}

TEST_F(ModelPlatformTest, NameRepliesAnswerTheProbeWithTheLengthAndTheFetchWithTheText) {
  const HANDLE hcd0 = Open(platform_, "\\\\.\\HCD0");
  const HANDLE root = Open(platform_, "\\\\.\\USB#ROOT_HUB30#0");
  // "USB#ROOT_HUB30#0": 16 units and the 0 unit after a 4-byte header = 38 bytes.
  // A buffer that holds the record but not the name gets the record alone, its unit 0.
  for (DWORD size : {6u, 20u, 37u}) {
    const Reply probe = Ask(platform_, hcd0, IOCTL_USB_GET_ROOT_HUB_NAME, size);
    EXPECT_EQ(probe.At(0, 6), (Bytes{38, 0, 0, 0, 0, 0})) << size;
    EXPECT_TRUE(probe.CanaryFrom(6)) << size;
  }
  // A bigger buffer than announced gets the same reply and nothing more.
  const Reply name = Ask(platform_, hcd0, IOCTL_USB_GET_ROOT_HUB_NAME, 50);
  EXPECT_EQ(name.At(4, 34), Utf16Le("USB#ROOT_HUB30#0"));
  EXPECT_TRUE(name.CanaryFrom(38));
  // Connection replies carry the port number first: "USB#HUB#3" is 8 + 2 * 10 = 28 bytes.
  const Reply hubProbe = Ask(platform_, root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 10, Le32(3));
  EXPECT_EQ(hubProbe.At(0, 10), (Bytes{3, 0, 0, 0, 28, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(hubProbe.CanaryFrom(10));
  EXPECT_TRUE(Ask(platform_, root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 27, Le32(3)).CanaryFrom(10));
  // No hub on port 1: an empty name, the header and the 0 unit.
  EXPECT_EQ(Ask(platform_, root, IOCTL_USB_GET_NODE_CONNECTION_NAME, 12, Le32(1)).At(0, 12),
            (Bytes{1, 0, 0, 0, 10, 0, 0, 0, 0, 0, kCanary, kCanary}));
  // A buffer smaller than the record (the header and one unit) fails and stays untouched.
  for (DWORD size : {3u, 5u}) {
    const Reply tiny = Ask(platform_, hcd0, IOCTL_USB_GET_ROOT_HUB_NAME, size);
    EXPECT_EQ(tiny.error, ERROR_INSUFFICIENT_BUFFER) << size;
    EXPECT_TRUE(tiny.CanaryFrom(0)) << size;
  }
  for (DWORD size : {7u, 9u}) {
    const Reply tiny = Ask(platform_, root, IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, size, Le32(1));
    EXPECT_EQ(tiny.error, ERROR_INSUFFICIENT_BUFFER) << size;
    EXPECT_TRUE(tiny.CanaryFrom(4)) << size;
  }
}

// tests/data/model/short-names.json: controller driver key "HC", root hub "RH", and on port 1
// a hub "HUB1" with driver key "KEY1"; `fault` on the two driver-key queries.
model::UsbModel ShortNames(Fault fault) {
  model::UsbModel m =
      LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + "/model/short-names.json");
  m.controllers[0].faults.driverKeyName = fault;
  m.controllers[0].rootHub->ports[0].faults.driverKeyName = fault;
  return m;
}

TEST(ModelPlatformNameFaults, EachFaultShapesTheProbeAndTheFetch) {
  const struct {
    Fault fault;
    std::uint32_t shortLength;  // announced in a 6-byte reply of "HC"
    std::uint32_t longLength;   // announced in a 10-byte reply of "KEY1"
    bool probeOk, fetchOk;
    Bytes shortText, longText;  // what the fetch of the announced size holds after the header
  } cases[] = {
      {Fault::None, 10, 18, true, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {Fault::ProbeFails, 10, 18, false, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {Fault::FetchFails, 10, 18, true, false, {}, {}},
      {Fault::ConversionFails, 10, 18, true, true, Utf16Le("HC"), Utf16Le("KEY1")},
      {Fault::BareHeader, 6, 10, true, true, {0, 0}, {0, 0}},
      {Fault::ShortLength, 4, 8, true, false, {}, {}},  // the announced size is below the record
      {Fault::OddLength, 9, 17, true, true, Utf16Le("HC", false), Utf16Le("KEY1", false)},
      {Fault::NoTerminator, 8, 16, true, true, Utf16Le("HC", false), Utf16Le("KEY1", false)},
      {Fault::AbsurdLength, 0x7FFFFFF0, 0x7FFFFFF0, true, false, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(model::NameFaultName(c.fault));
    ModelPlatform platform(ShortNames(c.fault));
    const HANDLE hcd = Open(platform, "\\\\.\\HCD0");
    const HANDLE hub = Open(platform, "\\\\.\\RH");
    const DWORD kHcdKey = IOCTL_GET_HCD_DRIVERKEY_NAME;
    const DWORD kDeviceKey = IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME;
    const Reply shortProbe = Ask(platform, hcd, kHcdKey, 6);
    const Reply longProbe = Ask(platform, hub, kDeviceKey, 10, Le32(1));
    EXPECT_EQ(shortProbe.ok && longProbe.ok, c.probeOk);
    if (c.probeOk) {
      EXPECT_EQ(shortProbe.At(0, 4), Le32(c.shortLength));
      EXPECT_EQ(longProbe.At(4, 4), Le32(c.longLength));
    }
    // The fault belongs to its own query: the root hub name and the hub name stay sound.
    EXPECT_EQ(Ask(platform, hcd, IOCTL_USB_GET_ROOT_HUB_NAME, 6).At(0, 4), Le32(10));
    EXPECT_EQ(Ask(platform, hub, IOCTL_USB_GET_NODE_CONNECTION_NAME, 10, Le32(1)).At(4, 4),
              Le32(18));
    if (!c.fetchOk) continue;
    const Reply shortFetch = Ask(platform, hcd, kHcdKey, c.shortLength);
    const Reply longFetch = Ask(platform, hub, kDeviceKey, c.longLength, Le32(1));
    ASSERT_TRUE(shortFetch.ok && longFetch.ok);
    EXPECT_EQ(shortFetch.At(4, c.shortText.size()), c.shortText);
    EXPECT_TRUE(shortFetch.CanaryFrom(4 + c.shortText.size()));
    EXPECT_EQ(longFetch.At(8, c.longText.size()), c.longText);
    EXPECT_TRUE(longFetch.CanaryFrom(8 + c.longText.size()));
  }
  // A fetch that fails does so only once the buffer holds the whole reply.
  ModelPlatform fetchFails(ShortNames(Fault::FetchFails));
  EXPECT_FALSE(
      Ask(fetchFails, Open(fetchFails, "\\\\.\\HCD0"), IOCTL_GET_HCD_DRIVERKEY_NAME, 10).ok);
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
  // Code page 1252 lacks Ł, ź and the minus sign but has a likeness of each (Microsoft's
  // best-fit table), which is no default character; the check mark has none. (Escaped: the
  // assertions' text is GBK.)
  const std::u16string likenesses = u"\u0141\u00F3d\u017A \u2212 \u20AC";  // Łódź − €
  model::UsbModel western = SampleModel();
  western.ansiCodePage = 1252;
  ModelPlatform westernPlatform(western);
  EXPECT_EQ(ToAnsi(westernPlatform, likenesses, -1, out, 16, &usedDefault), 9);
  EXPECT_STREQ(out, "L\xF3" "dz - \x80");
  EXPECT_FALSE(usedDefault);
  EXPECT_EQ(ToAnsi(westernPlatform, u"\u0141\u2713", -1, out, 16, &usedDefault), 3);
  EXPECT_STREQ(out, "L?");
  EXPECT_TRUE(usedDefault);
  // Code page 936 has no A with grave, nor superscript two, but its own pinyin a with grave
  // and the digit: A\xA8\xA42 is "a with grave" (GBK 0xA8A4) and 2.
  EXPECT_EQ(ToAnsi(platform_, u"A\u00C0\u00B2", -1, out, 16, &usedDefault), 5);
  EXPECT_STREQ(out, "A\xA8\xA4" "2");
  EXPECT_FALSE(usedDefault);
}

TEST_F(ModelPlatformTest, DatabaseListsControllersThenUsbDevicesDepthFirstThenOthers) {
  const HDEVINFO set = platform_.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 6);
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
    char buffer[64];
    DWORD required = 0;
    seen.emplace_back(platform_.SetupDiGetDeviceRegistryPropertyA(
                          set, &element, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(buffer),
                          sizeof buffer, &required)
                          ? buffer
                          : "(no driver key)");
  }
  EXPECT_EQ(platform_.GetLastError(), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(seen, expected);
  element.cbSize = sizeof element - 1;
  EXPECT_FALSE(platform_.SetupDiEnumDeviceInfo(set, 0, &element));
  EXPECT_EQ(platform_.GetLastError(), ERROR_INVALID_USER_BUFFER);
  EXPECT_TRUE(platform_.SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(platform_.SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(platform_.OpenDeviceSetCount(), 0u);
}

// Reads property `property` of entry 2 (the key, "加密狗") declaring `size` bytes; the error,
// 0 on success. `out` holds the buffer and the canary after it.
DWORD ReadKeyProperty(ModelPlatform& platform, DWORD property, DWORD size, Bytes& out,
                      DWORD& required) {
  const HDEVINFO set = platform.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, 6);
  SP_DEVINFO_DATA element{};
  element.cbSize = sizeof element;
  platform.SetupDiEnumDeviceInfo(set, 2, &element);
  out.assign(size + kCanaryBytes, kCanary);
  const BOOL ok = platform.SetupDiGetDeviceRegistryPropertyA(
      set, &element, property, nullptr, size ? out.data() : nullptr, size, &required);
  const DWORD error = ok ? 0 : platform.GetLastError();
  platform.SetupDiDestroyDeviceInfoList(set);
  return error;
}

TEST_F(ModelPlatformTest, AFriendlyNameNeedsTheSizeItAnnouncesAndReadFaultsFailAsTheModelSays) {
  Bytes out;
  DWORD required = 0;
  EXPECT_EQ(ReadKeyProperty(platform_, SPDRP_FRIENDLYNAME, 6, out, required),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(required, 7u);  // three GBK characters and the terminator
  EXPECT_TRUE((Reply{false, 0, out}.CanaryFrom(0)));
  ASSERT_EQ(ReadKeyProperty(platform_, SPDRP_FRIENDLYNAME, 7, out, required), 0u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 8), std::string("加密狗") + '\0' + "\xCC");
  EXPECT_EQ(ReadKeyProperty(platform_, 0 /* SPDRP_DEVICEDESC */, 64, out, required),
            ERROR_INVALID_DATA);

  model_.controllers[0].rootHub->ports[2].device->databaseFaults = {true, true};
  EXPECT_EQ(ReadKeyProperty(platform_, SPDRP_DRIVER, 64, out, required), ERROR_INVALID_DATA);
  // The friendly name asks for room first, then fails once it has it.
  EXPECT_EQ(ReadKeyProperty(platform_, SPDRP_FRIENDLYNAME, 0, out, required),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(ReadKeyProperty(platform_, SPDRP_FRIENDLYNAME, 7, out, required), ERROR_INVALID_DATA);
  EXPECT_TRUE((Reply{false, 0, out}.CanaryFrom(0)));
}

}  // namespace
}  // namespace keldar
