#include "usb/access.h"

#include "platform/name_reply.h"
#include "usb/property_reader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace keldar {

static_assert(sizeof(WCHAR) == 2, "the hub driver's names are UTF-16");

AnsiText Utf16ToAnsi(Platform& platform, const WCHAR* text, std::size_t maxUnits) {
  if (text == nullptr) return {};
  std::size_t units = 0;
  while (units < maxUnits && text[units] != 0) ++units;
  // WideCharToMultiByte refuses a length of 0, yet an empty name is still a name.
  if (units == 0) return AnsiText::Copy("", 0);
  if (units > static_cast<std::size_t>(INT_MAX)) return {};
  // An explicit length rather than -1: a reply need not carry its 0 unit, so the terminator is
  // added here instead of being converted.
  const int length = static_cast<int>(units);
  const int size =
      platform.WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[static_cast<std::size_t>(size) + 1]());
  if (!bytes) return {};
  const int written =
      platform.WideCharToMultiByte(CP_ACP, 0, text, length, bytes.get(), size, nullptr, nullptr);
  if (written <= 0 || written > size) return {};
  bytes[written] = '\0';
  return AnsiText::Adopt(std::move(bytes));
}

AnsiText QueryName(DeviceRequests& requests, HANDLE device, const NameQuery& query) {
  Platform& platform = requests.platform();
  const std::uint32_t headerSize = NameHeaderSize(query.perConnection);
  const std::uint32_t probeSize = NameProbeSize(query.perConnection);

  // Held as UTF-16 units so that the text after the header is aligned for reading.
  WCHAR probe[NameProbeSize(true) / sizeof(WCHAR)] = {};
  if (query.perConnection) std::memcpy(probe, &query.connectionIndex, sizeof(std::uint32_t));
  if (!requests.Send(device, query.controlCode, query.bufferIsInput ? probe : nullptr,
                     query.bufferIsInput ? probeSize : 0, probe, probeSize))
    return {};

  // The returned byte count is not trusted; ActualLength alone sizes the reply. A reply
  // shorter than the probe, with half a unit, or of an absurd size is not a name.
  const std::uint32_t actualLength = ReplyActualLength(probe, headerSize);
  if (!IsSoundNameLength(actualLength, headerSize)) return {};
  if (query.emptyIsNone && actualLength == probeSize) return {};

  const std::size_t units = actualLength / sizeof(WCHAR);
  std::unique_ptr<WCHAR[]> reply(new (std::nothrow) WCHAR[units]());
  if (!reply) return {};
  if (query.perConnection)
    std::memcpy(reply.get(), &query.connectionIndex, sizeof(std::uint32_t));
  if (!requests.Send(device, query.controlCode, query.bufferIsInput ? reply.get() : nullptr,
                     query.bufferIsInput ? actualLength : 0, reply.get(), actualLength))
    return {};
  // An empty text is no name whatever ActualLength announced: some hub drivers count the 0 unit
  // twice, so an empty name comes with a length beyond the probe's.
  if (query.emptyIsNone && reply[headerSize / sizeof(WCHAR)] == 0) return {};
  // Bounded by the bytes allocated here, whatever the second reply claims: the driver is free
  // to leave out the 0 unit when the name fills the reply.
  return Utf16ToAnsi(platform, reply.get() + headerSize / sizeof(WCHAR),
                     (actualLength - headerSize) / sizeof(WCHAR));
}

AnsiText FindFriendlyName(Platform& platform, const char* driverKey) {
  if (driverKey == nullptr) return {};
  PresentDevices devices(platform);
  while (devices.NextDriverKey()) {
    // Upper and lower case differ: the key is compared byte for byte.
    if (std::strcmp(devices.DriverKey(), driverKey) == 0)
      return devices.ReadFriendlyName().Release();
  }
  return {};
}

}  // namespace keldar
