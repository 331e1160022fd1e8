// Where the program runs, as the platform answers it: a remote desktop session and a virtual
// machine each explain why keys may be missing from an otherwise sound detection (the remote
// session shows the remote computer's USB; a virtual machine sees only the devices passed
// through to it).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace keldar {

struct EnvironmentFacts {
  std::optional<bool> remoteSession;
  // The SMBIOS system names (ANSI, as the platform answered them); none where not read.
  std::optional<std::string> systemManufacturer;
  std::optional<std::string> systemProductName;
  friend bool operator==(const EnvironmentFacts&, const EnvironmentFacts&) = default;
};

// Asks the platform: GetSystemMetrics(SM_REMOTESESSION), and the BIOS key's two names, each
// read into a buffer of kSmbiosTextBufferSize bytes; a name that does not fit, is not a
// terminated text there or is empty stays unread.
EnvironmentFacts ReadEnvironment(Platform& platform);

// The hypervisor that SMBIOS names show ("QEMU", "VMware", "Hyper-V", ...); none for names no
// virtual machine is known to give.
std::optional<std::string> HypervisorOf(std::string_view manufacturer, std::string_view product);

}  // namespace keldar
