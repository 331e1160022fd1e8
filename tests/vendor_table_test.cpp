#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "ident/vendor_table.h"
#include "support/test_data.h"

using keldar::LookupVendorName;
using keldar::VendorTable;
using keldar::testing::ReadData;

namespace {

// Every row against the published listing (tests/data/vendor-table.txt), in order: a changed,
// added, dropped or moved row is named by its number. The last row is the terminator.
TEST(VendorTable, RowsMatchThePublishedListing) {
  std::istringstream listing(ReadData("vendor-table.txt"));
  std::vector<std::string> published;
  for (std::string line; std::getline(listing, line);)
    if (!line.empty() && line[0] != '#') published.push_back(line);
  ASSERT_EQ(published.size(), sizeof VendorTable / sizeof VendorTable[0]);
  for (std::size_t row = 0; row < published.size(); ++row) {
    char id[8];
    std::snprintf(id, sizeof id, "%04X", static_cast<unsigned>(VendorTable[row].vendorId));
    EXPECT_EQ(std::string(id) + "\t" + VendorTable[row].name, published[row]) << "row " << row;
  }
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
