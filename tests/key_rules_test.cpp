// The key rules against their published listing (tests/data/key-rules.txt, UTF-8): the table
// holds every published line and nothing else, byte for byte in code page 936 as the message
// box shows it, and every vendor and product yields the notices the listing says.
#include "ident/key_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "text/text_codec.h"

namespace keldar {
namespace {

struct Line {
  std::uint16_t vendorId;
  std::uint16_t productId;  // 0 for "*"
  std::string match;        // exact, any, other or query
  std::vector<std::string> notices;
};

std::vector<Line> ReadListing() {
  std::ifstream in(std::string(KELDAR_TEST_DATA_DIR) + "/key-rules.txt", std::ios::binary);
  std::vector<Line> lines;
  for (std::string text; std::getline(in, text);) {
    if (text.empty() || text[0] == '#') continue;
    std::vector<std::string> fields;
    std::istringstream cells(text);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    Line& line = lines.emplace_back();
    line.vendorId = static_cast<std::uint16_t>(std::stoul(fields.at(0), nullptr, 16));
    line.productId =
        static_cast<std::uint16_t>(fields.at(1) == "*" ? 0 : std::stoul(fields[1], nullptr, 16));
    line.match = fields.at(2);
    for (std::size_t i = 3; i + 1 < fields.size(); i += 2)
      line.notices.push_back(
          std::string(fields[i] == "known" ? "检测到以知加密狗" : "检测到未知加密狗") +
          "\r\n\r\n加密狗型号：" + Utf8ToAnsi(fields[i + 1], 936) + "\r\n ");
  }
  return lines;
}

const char* MatchName(ProductMatch match) {
  return match == ProductMatch::Exact ? "exact" : match == ProductMatch::Any ? "any" : "other";
}

TEST(KeyRules, TableHoldsEveryPublishedLineAndNothingElseByteForByte) {
  const std::vector<Line> listing = ReadListing();
  std::size_t published = 0;
  for (const Line& line : listing) published += line.match != "query";
  ASSERT_EQ(KeyRuleCount, published);
  std::set<const Line*> used;
  for (std::size_t i = 0; i < KeyRuleCount; ++i) {
    const KeyRule& rule = KeyRules[i];
    const Line* found = nullptr;
    for (const Line& line : listing)
      if (line.vendorId == rule.vendorId && line.match == MatchName(rule.match) &&
          (rule.match != ProductMatch::Exact || line.productId == rule.productId))
        found = &line;
    ASSERT_NE(found, nullptr) << "table row " << i << " is not a published line";
    EXPECT_TRUE(used.insert(found).second) << "table row " << i << " repeats a published line";
    ASSERT_NE(rule.notices[0].text, nullptr) << "table row " << i;
    EXPECT_EQ(rule.notices[0].text, found->notices.at(0)) << "table row " << i;
    EXPECT_EQ(rule.notices[1].text ? std::string(rule.notices[1].text) : "none",
              found->notices.size() == 2 ? found->notices[1] : "none")
        << "table row " << i;
    // The model stands in its notice right after the heading's label.
    for (const KeyNotice& notice : rule.notices) {
      if (notice.text == nullptr) continue;
      EXPECT_EQ(std::string(notice.text).find(std::string("加密狗型号：") + notice.model),
                std::string("检测到以知加密狗\r\n\r\n").size())
          << "table row " << i;
    }
  }
}

TEST(KeyNoticesFor, EveryVendorAndProductYieldsWhatTheListingSays) {
  for (const Line& line : ReadListing()) {
    std::vector<std::uint16_t> products = {line.productId};
    // 0xFFFF is named by no row, so it reaches the vendor's catch-all.
    if (line.match == "other") products = {0xFFFF};
    if (line.match == "any") products = {0x0000, 0x1234, 0xFFFF};
    for (const std::uint16_t productId : products) {
      // Stale pointers from an earlier call must not survive into this one.
      const KeyNotice stale{"stale", "stale"};
      const KeyNotice* notices[2] = {&stale, &stale};
      const int count = KeyNoticesFor(line.vendorId, productId, notices);
      std::vector<std::string> texts;
      for (int i = 0; i < 2; ++i) {
        if (i < count)
          texts.emplace_back(notices[i]->text);
        else
          EXPECT_EQ(notices[i], nullptr) << "unused entry " << i;
      }
      EXPECT_EQ(texts, line.notices) << std::hex << line.vendorId << ":" << productId;
    }
  }
}

}  // namespace
}  // namespace keldar
