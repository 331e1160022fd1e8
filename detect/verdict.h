// Whether a key that was found can be used by a program of this computer, and why not: from
// the facts the source read about the key's device (its driver, its state, its device node).
// The caller fills the facts from whatever it read them from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace keldar {

// What the device-installation database and the configuration manager answer.
struct WindowsKeyFacts {
  std::optional<std::string> service;        // absent: the device has none
  std::optional<std::uint32_t> configFlags;  // absent: not read
  std::optional<std::uint32_t> devNodeStatus;  // absent: the status call failed
  std::uint32_t problemCode = 0;
  friend bool operator==(const WindowsKeyFacts&, const WindowsKeyFacts&) = default;
};

// The usbfs node a program opens the key through, as the user who looked found it.
struct UsbfsNodeFacts {
  std::string path;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::uint32_t mode = 0;
  bool openable = false;  // for reading and writing, with the real and the effective IDs
  std::string user;
  friend bool operator==(const UsbfsNodeFacts&, const UsbfsNodeFacts&) = default;
};

struct LinuxKeyFacts {
  bool authorized = true;
  bool configured = true;
  // The attributes that could not be read ("authorized", "bConfigurationValue"): the fields
  // above say nothing of them.
  std::vector<std::string> unread;
  std::optional<std::string> deviceDriver;    // the device's own driver; absent: none
  std::vector<std::string> interfaceDrivers;  // "" for an interface without a driver
  std::optional<UsbfsNodeFacts> node;         // absent: the source has no /dev
  friend bool operator==(const LinuxKeyFacts&, const LinuxKeyFacts&) = default;
};

// Neither: the source carries nothing about the key's state (an older topology file).
// A key attached through USB/IP from another machine (Linux: its controller is vhci_hcd): the
// server and the key's bus ID there, where they could be read.
struct UsbipKeyFacts {
  std::optional<std::string> server;
  std::optional<std::string> remoteBusId;
  friend bool operator==(const UsbipKeyFacts&, const UsbipKeyFacts&) = default;
};

struct KeyFacts {
  std::optional<WindowsKeyFacts> windows;
  std::optional<LinuxKeyFacts> kernel;
  std::optional<UsbipKeyFacts> usbip;  // absent: the key is plugged into this machine
  std::string unread;  // with neither: why the source read none ("": it carries none)
  friend bool operator==(const KeyFacts&, const KeyFacts&) = default;
};

// Device-installation flags and configuration-manager answers the verdict goes by.
inline constexpr std::uint32_t kConfigFlagDisabled = 0x1;
inline constexpr std::uint32_t kDevNodeStarted = 0x8;
inline constexpr std::uint32_t kDevNodeHasProblem = 0x400;
inline constexpr std::uint32_t kProblemDisabled = 0x16;
inline constexpr std::uint32_t kProblemFailedInstall = 0x1C;

// A code with the fact behind it (UTF-8). The codes are stable; the facts are for people.
struct VerdictItem {
  std::string code;
  std::string fact;
  std::optional<std::uint32_t> problemCode;  // driverProblem's
  friend bool operator==(const VerdictItem&, const VerdictItem&) = default;
};

struct KeyVerdict {
  std::optional<bool> usable;  // none: not known
  std::vector<VerdictItem> reasons;
  std::vector<VerdictItem> notes;
  std::string driver;  // the bound drivers (Linux) or the service (Windows); "" for none
  friend bool operator==(const KeyVerdict&, const KeyVerdict&) = default;
};

KeyVerdict JudgeKey(const KeyFacts& facts);

// The reason or note in words, for a line of text: "blocked by the system's USB device policy".
const char* VerdictWords(const std::string& code);

}  // namespace keldar
