// Microsoft's best-fit tables: the character that WideCharToMultiByte with flags 0 (and every
// ANSI call that converts as it does) writes for one the code page lacks but has a likeness of.
#include <algorithm>
#include <cstddef>
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
constexpr BestFitRow kCodePage936[] = {
#include "text/best_fit_936.inc"
};

template <std::size_t size>
char32_t Find(const BestFitRow (&table)[size], char32_t c) {
  const auto* end = std::end(table);
  const auto* found = std::lower_bound(
      std::begin(table), end, c,
      [](const BestFitRow& row, char32_t wanted) { return row.character < wanted; });
  return found != end && found->character == c ? found->likeness : c;
}

}  // namespace

char32_t BestFit(char32_t c, unsigned codePage) {
  switch (codePage) {
    case 1252:
      return Find(kCodePage1252, c);
    case 936:
      return Find(kCodePage936, c);
    default:
      return c;
  }
}

}  // namespace keldar::text_internal
