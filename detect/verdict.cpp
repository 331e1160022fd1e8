#include "detect/verdict.h"

#include <algorithm>
#include <cstdio>

namespace keldar {

namespace {

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string Octal(std::uint32_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

void JudgeWindows(const WindowsKeyFacts& facts, KeyVerdict& verdict) {
  verdict.driver = facts.service.value_or("");
  const bool flagged = facts.configFlags && (*facts.configFlags & kConfigFlagDisabled) != 0;
  const bool problem = facts.devNodeStatus && (*facts.devNodeStatus & kDevNodeHasProblem) != 0;
  if (flagged)
    verdict.reasons.push_back(
        {"disabled", "configuration flags = " + Hex(*facts.configFlags), std::nullopt});
  else if (problem && facts.problemCode == kProblemDisabled)
    verdict.reasons.push_back({"disabled", "problem code = " + Hex(facts.problemCode),
                               facts.problemCode});
  if (!facts.service)
    verdict.reasons.push_back({"driverNotInstalled", "the device has no service", std::nullopt});
  else if (problem && facts.problemCode == kProblemFailedInstall)
    verdict.reasons.push_back({"driverNotInstalled",
                               "problem code = " + Hex(facts.problemCode), facts.problemCode});
  if (problem && facts.problemCode != kProblemDisabled &&
      facts.problemCode != kProblemFailedInstall)
    verdict.reasons.push_back({"driverProblem", "problem code = " + Hex(facts.problemCode),
                               facts.problemCode});
  if (!facts.devNodeStatus)
    verdict.reasons.push_back(
        {"statusUnknown", "the device node's status could not be read", std::nullopt});
  else if ((*facts.devNodeStatus & (kDevNodeStarted | kDevNodeHasProblem)) == 0)
    verdict.reasons.push_back({"statusUnknown",
                               "the device node's status (" + Hex(*facts.devNodeStatus) +
                                   ") says neither started nor a problem",
                               std::nullopt});
}

void JudgeLinux(const LinuxKeyFacts& facts, KeyVerdict& verdict) {
  // A driver of the device itself other than the kernel's own ("usb") comes first.
  if (facts.deviceDriver && !facts.deviceDriver->empty() && *facts.deviceDriver != "usb")
    verdict.driver = *facts.deviceDriver;
  // Then each interface driver once, in interface order: "usbhid", "usbfs,usbhid".
  for (std::size_t i = 0; i < facts.interfaceDrivers.size(); ++i) {
    const std::string& driver = facts.interfaceDrivers[i];
    const auto first = facts.interfaceDrivers.begin();
    if (!driver.empty() && std::find(first, first + i, driver) == first + i)
      verdict.driver += (verdict.driver.empty() ? "" : ",") + driver;
  }
  const auto unread = [&](const char* attribute) {
    return std::find(facts.unread.begin(), facts.unread.end(), attribute) != facts.unread.end();
  };
  if (unread("authorized"))
    verdict.reasons.push_back({"statusUnknown", "authorized could not be read", {}});
  else if (!facts.authorized)
    verdict.reasons.push_back({"notAuthorized", "authorized = 0", {}});
  // usbip-host binds the device itself (kernels before 3.17 bound its interfaces) and leaves
  // it unconfigured here while it serves the other machine: that, not the configuration, is
  // why no program here can use it.
  bool exported = facts.deviceDriver == "usbip-host";
  if (exported)
    verdict.reasons.push_back({"exportedOverNetwork", "the device is bound to usbip-host", {}});
  for (std::size_t i = 0; i < facts.interfaceDrivers.size() && !exported; ++i)
    if (facts.interfaceDrivers[i] == "usbip-host") {
      verdict.reasons.push_back(
          {"exportedOverNetwork", "interface " + std::to_string(i) + " is bound to usbip-host", {}});
      exported = true;
    }
  if (unread("bConfigurationValue") && !exported)
    verdict.reasons.push_back({"statusUnknown", "bConfigurationValue could not be read", {}});
  else if (!facts.configured && !exported)
    verdict.reasons.push_back({"notConfigured", "bConfigurationValue = 0", {}});
  if (!facts.node) {
    verdict.reasons.push_back(
        {"statusUnknown", "the source has no /dev: the key's device node was not checked", {}});
  } else if (!facts.node->openable) {
    const UsbfsNodeFacts& node = *facts.node;
    verdict.notes.push_back({"noAccessForThisUser",
                             "user " + node.user + " cannot open " + node.path +
                                 " for reading and writing (owner " + std::to_string(node.uid) +
                                 ", group " + std::to_string(node.gid) + ", mode " +
                                 Octal(node.mode) + ")",
                             {}});
  }
}

}  // namespace

KeyVerdict JudgeKey(const KeyFacts& facts) {
  KeyVerdict verdict;
  if (facts.windows) JudgeWindows(*facts.windows, verdict);
  if (facts.kernel) JudgeLinux(*facts.kernel, verdict);
  if (!facts.windows && !facts.kernel)
    // An older topology file, or a key whose device live Windows could not tell apart.
    verdict.reasons.push_back(
        {"statusUnknown",
         facts.unread.empty() ? "the source gives no status for the key" : facts.unread, {}});
  bool known = false;
  for (const VerdictItem& reason : verdict.reasons) known |= reason.code != "statusUnknown";
  // A reason that is known decides; unknown facts alone never make a key usable.
  if (known)
    verdict.usable = false;
  else if (verdict.reasons.empty())
    verdict.usable = true;
  return verdict;
}

const char* VerdictWords(const std::string& code) {
  if (code == "notAuthorized") return "blocked by the system's USB device policy";
  if (code == "notConfigured") return "not configured";
  if (code == "exportedOverNetwork") return "exported to another machine over the network";
  if (code == "driverNotInstalled") return "its driver is not installed";
  if (code == "disabled") return "disabled";
  if (code == "driverProblem") return "its driver reports a problem";
  if (code == "noAccessForThisUser") return "this user cannot open it directly";
  return "its status is not known";
}

}  // namespace keldar
