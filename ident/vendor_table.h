// The built-in table of USB vendor IDs and the names of the companies that hold them. It names
// vendors only; whether a device is a protection key is decided by the key rules.
#pragma once

#include <cstdint>

namespace keldar {

struct VendorEntry {
  std::uint16_t vendorId;
  const char* name;  // printable ASCII, shown verbatim in the "Co. Info" column
};

// 512 vendor rows followed by the terminator {0x0000, "End"}, which marks the end and is not
// a vendor. The rows run in byte order of their names, except that "Philips Semiconductors,
// CICT" precedes "Philips Semiconductors" and "Toshiba America Electronic Components, Inc."
// precedes "Toshiba"; every ID occurs once, so the order never changes a lookup.
inline constexpr int kVendorRowCount = 512;
extern const VendorEntry VendorTable[kVendorRowCount + 1];

// The name of the first vendor row holding `vendorId`, or "Unknown". Never null; the result
// lives as long as the program. The terminator's 0x0000 is not a vendor and yields "Unknown".
const char* LookupVendorName(std::uint16_t vendorId);

}  // namespace keldar
