// The device access layer's free functions: conversion of the platform's UTF-16 names to ANSI
// text, the hub driver's two-call name queries, and the friendly name of a device by its driver
// key. The topology objects (usb/topology.h) issue the name queries as their members.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "platform/records.h"
#include "usb/ansi_text.h"
#include "usb/requests.h"

namespace keldar {

// Converts at most `maxUnits` UTF-16 units of `text`, stopping at the first 0 unit, to the
// ANSI code page. The bound keeps a reply that lacks its terminator from being read past.
// An empty text converts to "". None when `text` is null or the platform cannot convert.
AnsiText Utf16ToAnsi(Platform& platform, const WCHAR* text, std::size_t maxUnits);

// How one of the hub driver's name queries is asked.
struct NameQuery {
  DWORD controlCode;
  // The connection replies (node name, device driver key) start with ConnectionIndex, so their
  // header is 8 bytes; the controller replies' header is ActualLength alone, 4 bytes.
  bool perConnection;
  // Every query but the root hub name sends its reply buffer as the input too.
  bool bufferIsInput;
  // A reply that holds only the 0 unit is no name: an empty driver key matches nothing, and an
  // empty hub name (a stopped root hub, a hub without a symbolic link) opens nothing.
  bool emptyIsNone;
  std::uint32_t connectionIndex;  // written into both buffers when perConnection
};

// Probes with the header plus one UTF-16 unit (6 or 10 bytes), then fetches ActualLength bytes
// and converts the name within them. None when a call fails (or goes unanswered), when ActualLength is shorter than
// the probe, odd or beyond kMaxNameReplySize, when an empty name is refused, or when the
// conversion fails.
AnsiText QueryName(DeviceRequests& requests, HANDLE device, const NameQuery& query);

// The friendly name of the first present device whose driver key equals `driverKey` byte for
// byte; that device's driver key when it has no friendly name; an empty text when the
// friendly-name read failed after a re-allocation; none for a null key, no device set, or no
// device carrying the key.
AnsiText FindFriendlyName(Platform& platform, const char* driverKey);

}  // namespace keldar
