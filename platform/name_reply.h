// The framing of the hub driver's four name replies (USB_ROOT_HUB_NAME and its kin), shared by
// all that write or read one: the access layer, the model platform and the recorder. A reply is
// a header (ConnectionIndex for the two connection replies, then ActualLength), then UTF-16LE
// text with its 0 unit; ActualLength counts the whole reply.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/records.h"

namespace keldar {

inline constexpr std::uint32_t kControllerNameHeaderSize = 4;  // ActualLength
inline constexpr std::uint32_t kConnectionNameHeaderSize = 8;  // ConnectionIndex, ActualLength

inline constexpr std::uint32_t NameHeaderSize(bool perConnection) {
  return perConnection ? kConnectionNameHeaderSize : kControllerNameHeaderSize;
}

// The probe: the header and room for one UTF-16 unit.
inline constexpr std::uint32_t NameProbeSize(bool perConnection) {
  return NameHeaderSize(perConnection) + sizeof(char16_t);
}

// ActualLength as a reply of at least `headerSize` bytes carries it, just before the text.
inline std::uint32_t ReplyActualLength(const void* reply, std::uint32_t headerSize) {
  std::uint32_t actualLength = 0;
  std::memcpy(&actualLength, static_cast<const unsigned char*>(reply) + headerSize - 4,
              sizeof actualLength);
  return actualLength;
}

// Whether ActualLength can frame a name at all: the header and at least the 0 unit, whole
// units, and no more than any real name needs.
inline bool IsSoundNameLength(std::uint32_t actualLength, std::uint32_t headerSize) {
  return actualLength >= headerSize + sizeof(char16_t) && actualLength % sizeof(char16_t) == 0 &&
         actualLength <= kMaxNameReplySize;
}

// The text of a reply up to its first 0 unit, read within `size` bytes, whatever ActualLength
// claims: the driver may leave the 0 unit out when the name fills the reply.
inline std::u16string ReplyText(const void* reply, std::uint32_t size, std::uint32_t headerSize) {
  const auto* bytes = static_cast<const unsigned char*>(reply);
  std::u16string text;
  for (std::uint32_t at = headerSize; at + 1 < size; at += 2) {
    const auto unit = static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit);
  }
  return text;
}

}  // namespace keldar
