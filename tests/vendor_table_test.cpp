#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string_view>

#include "ident/vendor_table.h"

using keldar::LookupVendorName;
using keldar::VendorTable;

namespace {

constexpr int kRows = 512;

TEST(VendorTable, HoldsTheVendorRowsAndEndsWithTheTerminator) {
  EXPECT_EQ(sizeof VendorTable / sizeof VendorTable[0], 513u);
  EXPECT_EQ(VendorTable[kRows].vendorId, 0x0000);
  EXPECT_STREQ(VendorTable[kRows].name, "End");

  std::set<std::uint16_t> ids;
  for (int row = 0; row < kRows; ++row) {
    const std::uint16_t id = VendorTable[row].vendorId;
    EXPECT_NE(id, 0x0000) << "row " << row;
    EXPECT_GE(id, 0x03E8) << "row " << row;
    EXPECT_LE(id, 0x8086) << "row " << row;
    EXPECT_TRUE(ids.insert(id).second) << "row " << row << " repeats an ID";
  }
}

TEST(VendorTable, NamesArePrintableAsciiWithoutPercentOrOuterBlanks) {
  for (int row = 0; row < kRows; ++row) {
    const std::string_view name = VendorTable[row].name;
    ASSERT_FALSE(name.empty()) << "row " << row;
    EXPECT_NE(name.front(), ' ') << "row " << row;
    EXPECT_NE(name.back(), ' ') << "row " << row;
    for (const char c : name) {
      const auto byte = static_cast<unsigned char>(c);
      EXPECT_TRUE(byte >= 0x20 && byte <= 0x7E) << "row " << row;
      EXPECT_NE(c, '%') << "row " << row;
    }
  }
}

// Byte order of names, with the two pairs that stand the other way round.
TEST(VendorTable, RowsRunInNameOrderExceptPhilipsAndToshiba) {
  for (int row = 0; row + 1 < kRows; ++row) {
    const int order = std::strcmp(VendorTable[row].name, VendorTable[row + 1].name);
    if (row == 330 || row == 455) {
      EXPECT_GT(order, 0) << "rows " << row << " and " << row + 1;
    } else {
      EXPECT_LT(order, 0) << "rows " << row << " and " << row + 1;
    }
  }
  EXPECT_STREQ(VendorTable[330].name, "Philips Semiconductors, CICT");
  EXPECT_STREQ(VendorTable[331].name, "Philips Semiconductors");
  EXPECT_STREQ(VendorTable[455].name, "Toshiba America Electronic Components, Inc.");
  EXPECT_STREQ(VendorTable[456].name, "Toshiba");
}

TEST(VendorTable, SpotRowsAndChecksumOfWholeTable) {
  struct Spot {
    int row;
    std::uint16_t vendorId;
    const char* name;
  };
  const Spot spots[] = {
      {0, 0x0506, "3Com Corporation"},
      {32, 0x051D, "American Power Conversion"},
      {64, 0x074C, "C-C-C Group PLC"},
      {96, 0x052A, "Crescent Heart Software"},
      {128, 0x03F8, "Epson Research Center"},
      {160, 0x065F, "Good Way Industrial Co, Ltd & GWC Technology Inc."},
      {192, 0x058C, "In Focus Systems"},
      {224, 0x047D, "Kensington"},
      {256, 0x062E, "Mainsuper Enterprises Co., Ltd."},
      {288, 0x050E, "Neon Technology, Inc."},
      {320, 0x05F9, "PSC Scanning, Inc."},
      {352, 0x05BD, "RAFI GmbH & Co."},
      {384, 0x05C9, "Semtech Corporation"},
      {416, 0x0769, "Surecom Technology Corp."},
      {448, 0x044F, "ThrustMaster, Inc."},
      {480, 0x0543, "ViewSonic Corporation"},
      {511, 0x0595, "Zoran Microelectronics Ltd."},
  };
  for (const Spot& spot : spots) {
    EXPECT_EQ(VendorTable[spot.row].vendorId, spot.vendorId) << "row " << spot.row;
    EXPECT_STREQ(VendorTable[spot.row].name, spot.name) << "row " << spot.row;
  }

  // 32-bit FNV-1a over every vendor row: the ID's low byte, its high byte, the name and its
  // terminator. The expected value was taken from the published row listing.
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
  EXPECT_STREQ(LookupVendorName(0x064F), "WIBU-Systems AG");
  EXPECT_STREQ(LookupVendorName(0x04B4), "Cypress Semiconductor");
  EXPECT_STREQ(LookupVendorName(0x03E8), "AOX Inc.");
  EXPECT_STREQ(LookupVendorName(0x8086), "Intel Corporation");
  EXPECT_STREQ(LookupVendorName(0x0506), "3Com Corporation");
  EXPECT_STREQ(LookupVendorName(0x0595), "Zoran Microelectronics Ltd.");
  EXPECT_STREQ(LookupVendorName(0x04CC), "Philips Semiconductors");
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
