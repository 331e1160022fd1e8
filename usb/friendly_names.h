// The device-installation database read once for a whole detection. FindFriendlyName opens the
// set of present devices and reads every device's driver key up to the match, for each name it
// is asked; a tree of n items on a machine of m present devices costs n x m property reads
// that way. The snapshot reads each present device once, through the same calls and with the
// same buffer handling, and answers every later lookup from memory with the text
// FindFriendlyName would have given at the time of the snapshot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"

namespace keldar {

class PresentDevices;

// What the device-installation database and the configuration manager answer about the device
// of a key. Not known, with the reason in words, when the device cannot be told apart or the
// answers cannot be read.
struct KeyDeviceState {
  bool known = false;
  std::string why;
  std::optional<std::string> service;          // ANSI; absent: the device has none
  std::optional<std::uint32_t> configFlags;    // absent: not read
  std::optional<std::uint32_t> devNodeStatus;  // absent: the status call failed
  std::uint32_t problemCode = 0;
};

class FriendlyNames {
 public:
  // No device set: every lookup finds nothing, as FindFriendlyName does without one.
  FriendlyNames() = default;

  FriendlyNames(FriendlyNames&&) noexcept;
  FriendlyNames& operator=(FriendlyNames&&) noexcept;
  ~FriendlyNames();

  // Opens the set of present devices once, reads every device's driver key, and for the first
  // device carrying each key its friendly name, then releases the set. With `forKeyStates` it
  // also reads the hardware IDs of the devices that have no driver key, and keeps the set open
  // for KeyState until the snapshot goes.
  static FriendlyNames Read(Platform& platform, bool forKeyStates = false);

  // What FindFriendlyName(platform, driverKey) gives: the friendly name of the first present
  // device whose driver key equals `driverKey` byte for byte, its driver key when it has no
  // friendly name, "" when the friendly-name read failed after a re-allocation; null for a
  // null key or a key no present device carries. Valid as long as the snapshot.
  const char* Find(const char* driverKey) const;

  // Distinct driver keys held.
  std::size_t KeyCount() const { return names_.size(); }

  // The state of a key's device, read now from the set kept open (a snapshot read with
  // `forKeyStates`): the first device carrying `driverKey`, or for a key without one (null or
  // empty) the one device without a driver key whose hardware ID names its vendor and product
  // ID. Its service, configuration flags and device-node status: three reads and a call.
  KeyDeviceState KeyState(Platform& platform, const char* driverKey, std::uint16_t vendorId,
                          std::uint16_t productId) const;

 private:
  std::unordered_map<std::string, std::string> names_;
  // Kept for KeyState: the set, the first device of each driver key, and the devices without
  // one by the IDs their hardware ID names.
  std::unique_ptr<PresentDevices> devices_;
  std::unordered_map<std::string, SP_DEVINFO_DATA> elements_;
  std::map<std::uint32_t, std::vector<SP_DEVINFO_DATA>> keyless_;
};

// The friendly names of one detection: the database is read at the first lookup that has a
// key, and every later lookup of the detection is answered from that reading.
class FriendlyNameLookup {
 public:
  explicit FriendlyNameLookup(Platform& platform) : platform_(platform) {}

  // A new detection: devices come and go between detections, so the next lookup reads afresh.
  void Reset() { snapshot_.reset(); }
  // Whether the reading keeps what KeyState needs (the set stays open until Reset).
  void ReadForKeyStates(bool wanted) { forKeyStates_ = wanted; }
  // What FriendlyNames::Find gives; null for a null key without reading the database.
  const char* Find(const char* driverKey);
  // What FriendlyNames::KeyState gives, reading the database first if no lookup did.
  KeyDeviceState KeyState(const char* driverKey, std::uint16_t vendorId, std::uint16_t productId);

 private:
  Platform& platform_;
  bool forKeyStates_ = false;
  std::optional<FriendlyNames> snapshot_;
};

}  // namespace keldar
