// The device-installation database read once for a whole detection. FindFriendlyName opens the
// set of present devices and reads every device's driver key up to the match, for each name it
// is asked; a tree of n items on a machine of m present devices costs n x m property reads
// that way. The snapshot reads each present device once, through the same calls and with the
// same buffer handling, and answers every later lookup from memory with the text
// FindFriendlyName would have given at the time of the snapshot.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

namespace keldar {

class FriendlyNames {
 public:
  // No device set: every lookup finds nothing, as FindFriendlyName does without one.
  FriendlyNames() = default;

  // Opens the set of present devices once, reads every device's driver key, and for the first
  // device carrying each key its friendly name, then releases the set.
  static FriendlyNames Read(Platform& platform);

  // What FindFriendlyName(platform, driverKey) gives: the friendly name of the first present
  // device whose driver key equals `driverKey` byte for byte, its driver key when it has no
  // friendly name, "" when the friendly-name read failed after a re-allocation; null for a
  // null key or a key no present device carries. Valid as long as the snapshot.
  const char* Find(const char* driverKey) const;

  // Distinct driver keys held.
  std::size_t KeyCount() const { return names_.size(); }

 private:
  std::unordered_map<std::string, std::string> names_;
};

// The friendly names of one detection: the database is read at the first lookup that has a
// key, and every later lookup of the detection is answered from that reading.
class FriendlyNameLookup {
 public:
  explicit FriendlyNameLookup(Platform& platform) : platform_(platform) {}

  // A new detection: devices come and go between detections, so the next lookup reads afresh.
  void Reset() { snapshot_.reset(); }
  // What FriendlyNames::Find gives; null for a null key without reading the database.
  const char* Find(const char* driverKey);

 private:
  Platform& platform_;
  std::optional<FriendlyNames> snapshot_;
};

}  // namespace keldar
