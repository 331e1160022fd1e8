// The device access layer's free functions: conversion of the platform's UTF-16 names to ANSI
// text, and the friendly name of a device by its driver key. The name queries themselves are
// members of the topology objects (usb/topology.h).
#pragma once

#include <cstddef>

#include "platform/platform.h"
#include "usb/ansi_text.h"

namespace keldar {

// Converts at most `maxUnits` UTF-16 units of `text`, stopping at the first 0 unit, to the
// ANSI code page. The bound keeps a reply that lacks its terminator from being read past.
// None when the platform cannot convert.
AnsiText Utf16ToAnsi(Platform& platform, const WCHAR* text, std::size_t maxUnits);

// The friendly name of the first present device whose driver key equals `driverKey` byte for
// byte; that device's driver key when it has no friendly name; an empty text when the
// friendly-name read failed after a re-allocation; none for a null key, no device set, or no
// device carrying the key.
AnsiText FindFriendlyName(Platform& platform, const char* driverKey);

}  // namespace keldar
