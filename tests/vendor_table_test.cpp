#include <gtest/gtest.h>

#include <cstdint>

#include "ident/vendor_table.h"

using keldar::LookupVendorName;
using keldar::VendorTable;

namespace {

constexpr int kRows = 512;

// 32-bit FNV-1a over every vendor row: the ID's low byte, its high byte, the name and its
// terminator. The expected value was taken from the published row listing; it pins every row,
// their order (names in byte order but for two pairs) and their printable ASCII names.
TEST(VendorTable, RowsMatchThePublishedListingAndEndWithTheTerminator) {
  EXPECT_EQ(sizeof VendorTable / sizeof VendorTable[0], 513u);
  EXPECT_EQ(VendorTable[kRows].vendorId, 0x0000);
  EXPECT_STREQ(VendorTable[kRows].name, "End");
  std::uint32_t hash = 0x811C9DC5u;
  const auto mix = [&hash](unsigned char byte) {
    hash ^= byte;
    hash *= 0x01000193u;
  };
  for (int row = 0; row < kRows; ++row) {
    mix(VendorTable[row].vendorId & 0xFF);
    mix(VendorTable[row].vendorId >> 8);
    for (const char* c = VendorTable[row].name;; ++c) {
      mix(static_cast<unsigned char>(*c));
      if (*c == '\0') break;
    }
  }
  EXPECT_EQ(hash, 0x771AD62Cu);
}

TEST(VendorLookup, FindsVendorsAnywhereInTheTable) {
  EXPECT_STREQ(LookupVendorName(0x0529), "Aladdin Knowledge Systems");
  EXPECT_STREQ(LookupVendorName(0x04B9), "Rainbow Technologies, Inc.");
  EXPECT_STREQ(LookupVendorName(0x03E8), "AOX Inc.");
  EXPECT_STREQ(LookupVendorName(0x8086), "Intel Corporation");
  EXPECT_STREQ(LookupVendorName(0x0506), "3Com Corporation");
  EXPECT_STREQ(LookupVendorName(0x0595), "Zoran Microelectronics Ltd.");
  EXPECT_STREQ(LookupVendorName(0x05D6), "Philips Semiconductors, CICT");
  // The name handed out is the table's own, valid for the whole run.
  EXPECT_EQ(LookupVendorName(0x0529), VendorTable[24].name);
}

TEST(VendorLookup, AbsentIdsAndTheTerminatorYieldUnknown) {
  for (const std::uint16_t id : {0x0000, 0x096E, 0x0925, 0x08E2, 0xFFFF, 0x03E7, 0x8087}) {
    EXPECT_STREQ(LookupVendorName(id), "Unknown") << std::hex << id;
  }
}

}  // namespace
