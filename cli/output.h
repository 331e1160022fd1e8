// The console's two forms of a detection report: one JSON document, or text for a reader.
#pragma once

#include <ostream>

#include "detect/report.h"

namespace keldar::cli {

// The report as one UTF-8 JSON document (two-space indentation, a final line break).
// `portIsDriverKey`: the keys' ports are their driver keys, as --watch shows them (KeysOf).
void WriteJson(const DetectionReport& report, bool portIsDriverKey, std::ostream& out);
// Each text is converted from its own code page: the program's own (notices, their captions,
// vendor names) from the report's programCodePage, the platform's from its ansiCodePage.
//
// The report as UTF-8 text: the source, the tree indented by depth (with each item's detail
// lines under it when `details`), the device list as a table, then every notice as its box
// shows it, caption first. After the device list, each key's verdict in words.
void WriteText(const DetectionReport& report, bool details, bool portIsDriverKey,
               std::ostream& out);

}  // namespace keldar::cli
