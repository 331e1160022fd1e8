// One detection on any platform, run through in-memory views exactly as the dialog runs it,
// and what it showed: the tree with each item's detail lines, the device list and the notices.
// Texts stay in the platform's ANSI code page here; the console converts them to UTF-8.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "detect/device_tree.h"

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

struct DetectionReport {
  std::string source;        // "demo", "live", "topology:<path>" or "sysfs:<dir>"
  unsigned ansiCodePage = 936;
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
  // What the source could not be read of (UTF-8, one line per reason); filled by the caller.
  std::vector<std::string> warnings;
};

// Runs the detect command once on `platform`, then selects every tree item in turn to collect
// its detail lines. None when the computer name is unavailable; `*computerNameError` then
// holds the error code.
std::optional<DetectionReport> RunDetection(Platform& platform, unsigned ansiCodePage,
                                            std::string source, DWORD* computerNameError);

const char* NodeKindName(NodeKind kind);

}  // namespace keldar
