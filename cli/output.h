// The console's two forms of a detection report: one JSON document, or text for a reader.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "detect/report.h"
#include "detect/verdict.h"

namespace keldar::cli {

// The report as one UTF-8 JSON document (two-space indentation, a final line break).
void WriteJson(const DetectionReport& report, std::ostream& out);
// Each text is converted from its own code page: the program's own (notices, their captions,
// vendor names) from the report's programCodePage, the platform's from its ansiCodePage.
//
// The report as UTF-8 text: the source, the tree indented by depth (with each item's detail
// lines under it when `details`), the device list as a table, then every notice as its box
// shows it, caption first. After the device list, each key's verdict in words.
void WriteText(const DetectionReport& report, bool details, std::ostream& out);

// A verdict's reasons or notes, as the report and the watch lines show them: JSON objects
// (code, fact, problemCode), or "reason (fact); reason (fact)" escaped for a terminal.
nlohmann::ordered_json VerdictItems(const std::vector<VerdictItem>& items);
std::string InWords(const std::vector<VerdictItem>& items);

}  // namespace keldar::cli
