// The rule table of known USB protection keys: which vendor and product IDs raise which
// notices, and the texts and message-box settings every notice is shown with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace keldar {

enum class ProductMatch {
  Exact,     // the rule names `productId`
  Any,       // every product of the vendor; such a vendor has no other rule
  AnyOther,  // every product of the vendor that no other rule of the same vendor names
};

struct KeyNotice {
  const char* text;   // the complete notice: heading, model, closing (GBK)
  const char* model;  // the model alone, as the console and its reports name the key
};

struct KeyRule {
  std::uint16_t vendorId;
  ProductMatch match;
  std::uint16_t productId;  // compared only when `match` is Exact
  // The notices, shown in this order; the second's texts are null when the rule raises one.
  KeyNotice notices[2];
};

// One row per vendor/product pair: no two rows share both IDs, so the order of the rows never
// changes a result. A vendor has at most one AnyOther row.
extern const KeyRule KeyRules[];
extern const std::size_t KeyRuleCount;

// Applies the rule table to one device: the vendor's Any row if it has one, otherwise the row
// naming `productId`, otherwise the vendor's AnyOther row. Writes that row's notices into
// `notices` in showing order, sets the unused entries to null, and returns how many it wrote
// (0, 1 or 2). A vendor without rows yields none.
int KeyNoticesFor(std::uint16_t vendorId, std::uint16_t productId, const KeyNotice* notices[2]);

// The notice shown once at the end of a pass that raised no key notice; it names the
// publisher's web address and contact number.
const char* ClosingNotice();

// The caption of every notice box: the product title followed by the contact suffix.
const char* NoticeCaption();

// The message-box type of every notice: MB_OK, one OK button and no icon.
inline constexpr unsigned int kNoticeType = 0;

}  // namespace keldar
