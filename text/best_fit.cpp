// Microsoft's best-fit tables: the character that WideCharToMultiByte with flags 0 (and every
// ANSI call that converts as it does) writes for one the code page lacks but has a likeness of.
#include <algorithm>
#include <iterator>

#include "text/code_points.h"

namespace keldar::text_internal {

namespace {

struct BestFitRow {
  char16_t character;
  char16_t likeness;  // a character of the code page
};

// Sorted by character.
constexpr BestFitRow kCodePage1252[] = {
#include "text/best_fit_1252.inc"
};

}  // namespace

char32_t BestFit(char32_t c, unsigned codePage) {
  if (codePage != 1252) return c;
  const auto* end = std::end(kCodePage1252);
  const auto* found = std::lower_bound(
      std::begin(kCodePage1252), end, c,
      [](const BestFitRow& row, char32_t wanted) { return row.character < wanted; });
  return found != end && found->character == c ? found->likeness : c;
}

}  // namespace keldar::text_internal
