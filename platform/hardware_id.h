// The hardware IDs of a device-installation database entry (SPDRP_HARDWAREID), as the access
// layer and the recorder read them: a list of texts, each 0-terminated, and one more 0 after
// the last, most specific first. A USB device's list:
//   USB\\VID_0529&PID_0001&REV_0100  USB\\VID_0529&PID_0001
// Letter case is the enumerator's; hex digits are read either way.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace keldar {

namespace hardware_id_detail {

inline std::optional<std::uint32_t> UsbIdsOfOne(std::string_view id) {
  constexpr std::string_view kVendor = "USB\\VID_", kProduct = "&PID_";
  // ASCII only, whatever the locale: the IDs are the enumerator's, not a language's.
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  const auto hex = [&](std::size_t at) -> std::optional<std::uint32_t> {
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + 4; ++i) {
      const char c = upper(id[i]);
      if (c >= '0' && c <= '9')
        value = value * 16 + static_cast<std::uint32_t>(c - '0');
      else if (c >= 'A' && c <= 'F')
        value = value * 16 + static_cast<std::uint32_t>(c - 'A' + 10);
      else
        return std::nullopt;
    }
    return value;
  };
  const auto same = [&](std::size_t at, std::string_view part) {
    for (std::size_t i = 0; i < part.size(); ++i)
      if (upper(id[at + i]) != part[i]) return false;
    return true;
  };
  constexpr std::size_t kLength = kVendor.size() + 4 + kProduct.size() + 4;
  // "USB\\VID_0529&PID_00011" names another product: only '&' may follow the IDs.
  if (id.size() < kLength || (id.size() > kLength && id[kLength] != '&')) return std::nullopt;
  if (!same(0, kVendor) || !same(kVendor.size() + 4, kProduct)) return std::nullopt;
  const auto vendor = hex(kVendor.size());
  const auto product = hex(kVendor.size() + 4 + kProduct.size());
  if (!vendor || !product) return std::nullopt;
  return *vendor << 16 | *product;
}

}  // namespace hardware_id_detail

// The vendor and product ID (vendor << 16 | product) of the first ID of the list that names
// them, reading no further than `size` bytes (a list stored without its terminators ends
// there); none when no ID does.
inline std::optional<std::uint32_t> UsbIdsOfHardwareIds(const char* ids, std::size_t size) {
  if (ids == nullptr) return std::nullopt;
  const char* end = ids + size;
  for (const char* id = ids; id < end;) {
    const char* stop = std::find(id, end, '\0');
    if (stop == id) break;  // the empty text that ends the list
    if (const auto found = hardware_id_detail::UsbIdsOfOne(
            std::string_view(id, static_cast<std::size_t>(stop - id))))
      return found;
    id = stop + 1;
  }
  return std::nullopt;
}

}  // namespace keldar
