// One detection on any platform, run through in-memory views exactly as the dialog runs it,
// and what it showed: the tree with each item's detail lines, the device list and the notices.
// Texts stay in their code pages here, the platform's ANSI code page and the program's own;
// the console converts each from its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "detect/device_tree.h"
#include "detect/environment.h"
#include "detect/verdict.h"

namespace keldar {

struct TreeNode {
  std::optional<NodeKind> kind;  // none for an item without a row
  std::string text;
  std::optional<std::string> label;
  int image = 0;
  bool expanded = false;
  std::vector<std::vector<std::string>> details;  // the detail list's lines when selected
  std::vector<TreeNode> children;
};

// An attached device that the key rules name: what a watcher compares between detections.
struct KeySighting {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string model;      // the model texts of its notices (ANSI), joined by " / "
  std::string driverKey;  // its driver key (ANSI): on Linux the sysfs name, e.g. "3-1.4"
  // Where it sits as the walk reached it: "HCD<n>/<hub name>/<port>" (ANSI).
  std::string place;
  std::uint16_t address = 0;  // the bus address, new on every enumeration
  // What the source read about the key's state, joined in by the caller that has the source;
  // none by default, which the verdict answers with "not known".
  KeyFacts facts;
  friend bool operator==(const KeySighting&, const KeySighting&) = default;
};

struct DetectionReport {
  std::string source;        // "demo", "live", "topology:<path>" or "sysfs:<dir>"
  unsigned ansiCodePage = 936;  // of the platform's texts: names, tree items, details
  // Of the program's own texts: the notices, their captions, the vendor names and key models.
  unsigned programCodePage = kProgramCodePage;
  std::string computerName;  // ANSI
  std::vector<TreeNode> tree;
  std::vector<std::string> deviceListHeadings;
  std::vector<std::vector<std::string>> devices;  // four cells each
  struct Notice {
    std::string caption;
    std::string text;
  };
  std::vector<Notice> notices;
  bool keyFound = false;
  // What the detection could not reach (UTF-8, one line per reason): the controllers past the
  // search's bound; the caller adds what the source could not be read of.
  std::vector<std::string> warnings;
  std::vector<KeySighting> keys;  // in tree order
  // The keys' driver keys are their ports (sysfs names): set by the caller that knows.
  bool driverKeysArePorts = false;
  // Where the program runs, set by the caller that asked; none where the source tells nothing.
  std::optional<EnvironmentFacts> environment;
};

// Runs the detect command once on `platform`, then selects every tree item in turn to collect
// its detail lines. None when the computer name is unavailable; `*computerNameError` then
// holds the error code. With `readKeyStates`, each key's facts are what the device database
// and the configuration manager answer about its device (the service as ANSI), read in the
// one pass the friendly names make.
std::optional<DetectionReport> RunDetection(Platform& platform, unsigned ansiCodePage,
                                            std::string source, DWORD* computerNameError,
                                            bool readKeyStates = false);

const char* NodeKindName(NodeKind kind);

}  // namespace keldar
