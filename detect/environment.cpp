#include "detect/environment.h"

#include <algorithm>
#include <vector>

namespace keldar {

namespace {

std::optional<std::string> ReadBiosText(Platform& platform, const char* value) {
  std::vector<char> buffer(kSmbiosTextBufferSize, '\0');
  DWORD size = kSmbiosTextBufferSize;
  DWORD type = 0;
  if (platform.RegGetValueA(HKEY_LOCAL_MACHINE, kBiosKey, value, RRF_RT_REG_SZ, &type,
                            buffer.data(), &size) != static_cast<LONG>(ERROR_SUCCESS))
    return std::nullopt;
  // The size written is not trusted: the text ends at its terminator within the buffer.
  const auto end = std::find(buffer.begin(), buffer.end(), '\0');
  if (end == buffer.end() || end == buffer.begin()) return std::nullopt;
  return std::string(buffer.begin(), end);
}

// SMBIOS names are ASCII; the C library's tolower would go by the locale.
char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
}

// The SMBIOS names that virtual machines give, as their makers set them: each row's texts
// begin the manufacturer and the product name (any case; empty: anything).
struct HypervisorRow {
  std::string_view manufacturer;
  std::string_view product;
  std::string_view hypervisor;
};
constexpr HypervisorRow kHypervisors[] = {
    {"QEMU", "", "QEMU"},
    {"", "KVM", "KVM"},
    {"VMware", "", "VMware"},
    {"", "VMware", "VMware"},
    {"innotek GmbH", "", "VirtualBox"},
    {"", "VirtualBox", "VirtualBox"},
    {"Microsoft Corporation", "Virtual Machine", "Hyper-V"},
    {"Xen", "", "Xen"},
    {"Parallels", "", "Parallels"},
    {"Bochs", "", "Bochs"},
    {"", "BHYVE", "bhyve"},
    {"Amazon EC2", "", "Amazon EC2"},
    {"Google", "Google Compute Engine", "Google Compute Engine"},
    {"OpenStack", "", "OpenStack"},
    {"", "OpenStack", "OpenStack"},
};

}  // namespace

EnvironmentFacts ReadEnvironment(Platform& platform) {
  EnvironmentFacts facts;
  facts.remoteSession = platform.GetSystemMetrics(SM_REMOTESESSION) != 0;
  facts.systemManufacturer = ReadBiosText(platform, kSystemManufacturerValue);
  facts.systemProductName = ReadBiosText(platform, kSystemProductNameValue);
  return facts;
}

std::optional<std::string> HypervisorOf(std::string_view manufacturer, std::string_view product) {
  for (const HypervisorRow& row : kHypervisors)
    if ((row.manufacturer.empty() || StartsWith(manufacturer, row.manufacturer)) &&
        (row.product.empty() || StartsWith(product, row.product)))
      return std::string(row.hypervisor);
  return std::nullopt;
}

}  // namespace keldar
