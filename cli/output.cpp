#include "cli/output.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "text/text_codec.h"

namespace keldar::cli {

using Json = nlohmann::ordered_json;

namespace {

Json NodeJson(const TreeNode& node, unsigned codePage) {
  Json json;
  json["kind"] = node.kind ? Json(NodeKindName(*node.kind)) : Json(nullptr);
  json["text"] = AnsiToUtf8(node.text, codePage);
  json["label"] = node.label ? Json(AnsiToUtf8(*node.label, codePage)) : Json(nullptr);
  json["image"] = node.image;
  json["expanded"] = node.expanded;
  Json details = Json::array();
  for (const auto& line : node.details)
    details.push_back({AnsiToUtf8(line[0], codePage), AnsiToUtf8(line[1], codePage)});
  json["details"] = std::move(details);
  Json children = Json::array();
  for (const TreeNode& child : node.children) children.push_back(NodeJson(child, codePage));
  json["children"] = std::move(children);
  return json;
}

// Terminal columns a UTF-8 text takes: East Asian wide characters take two.
std::size_t DisplayWidth(const std::string& utf8) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t code = lead < 0x80 ? lead : lead < 0xE0 ? lead & 0x1F : lead < 0xF0 ? lead & 0x0F : lead & 0x07;
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                      (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                      (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                      (code >= 0xFFE0 && code <= 0xFFE6) || (code >= 0x20000 && code <= 0x3FFFD);
    width += wide ? 2 : 1;
    i += length;
  }
  return width;
}

// Text output goes to a terminal: a control character in a device's or a file's text (ESC,
// CR, BS, ...) would move the cursor or rewrite what is shown, so it is shown escaped
// ("\x1b"; "\u009b" for the C1 controls). A tab stays: it only moves to the next stop.
std::string Shown(const std::string& utf8) {
  std::string shown;
  shown.reserve(utf8.size());
  char escape[8];
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      shown += escape;
    } else if (byte == 0xC2 && i + 1 < utf8.size() &&
               static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(utf8[i + 1]) <= 0x9F) {
      std::snprintf(escape, sizeof escape, "\\u%04x",
                    static_cast<unsigned>(static_cast<unsigned char>(utf8[i + 1])));
      shown += escape;
      ++i;
    } else {
      shown += utf8[i];
    }
  }
  return shown;
}

// The widest a device-list column grows. Longer cells are cut and end in kCut, so that one
// long text cannot pad every other row (output stays in proportion to the input).
constexpr std::size_t kMaxColumnWidth = 64;
constexpr std::string_view kCut = "\xE2\x80\xA6";  // U+2026, in UTF-8 whatever the build's narrow charset

// The cell cut to at most `width` columns, the last of them kCut when it was cut.
std::string CutTo(const std::string& utf8, std::size_t width) {
  if (DisplayWidth(utf8) <= width) return utf8;
  std::string cut;
  std::size_t used = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    const std::string character = utf8.substr(i, length);
    const std::size_t columns = DisplayWidth(character);
    if (used + columns + 1 > width) break;
    cut += character;
    used += columns;
    i += length;
  }
  return cut + std::string(kCut);
}

std::string PadTo(const std::string& utf8, std::size_t width) {
  const std::size_t used = DisplayWidth(utf8);
  return used >= width ? utf8 : utf8 + std::string(width - used, ' ');
}

// A message box shows CR LF as a line break.
std::string BoxLines(const std::string& utf8, const std::string& indent) {
  std::string shown = indent;
  std::size_t from = 0;
  for (std::size_t crlf; (crlf = utf8.find("\r\n", from)) != std::string::npos; from = crlf + 2)
    shown += Shown(utf8.substr(from, crlf - from)) + "\n" + indent;
  return shown + Shown(utf8.substr(from));
}

void WriteTreeText(const TreeNode& node, int depth, bool details, unsigned codePage,
                   std::ostream& out) {
  const std::string indent(2 * static_cast<std::size_t>(depth + 1), ' ');
  out << indent << Shown(AnsiToUtf8(node.text, codePage)) << '\n';
  if (details) {
    for (const auto& line : node.details) {
      const std::string value = Shown(AnsiToUtf8(line[1], codePage));
      const std::string label = Shown(AnsiToUtf8(line[0], codePage));
      out << indent << "  | " << (value.empty() ? label : PadTo(label, 22) + value) << '\n';
    }
  }
  for (const TreeNode& child : node.children) WriteTreeText(child, depth + 1, details, codePage, out);
}

}  // namespace

void WriteJson(const DetectionReport& report, std::ostream& out) {
  const unsigned codePage = report.ansiCodePage;
  Json json;
  // The source names a file by its path, whose bytes need not be UTF-8 on Linux; such bytes
  // become U+FFFD rather than a document the JSON writer refuses.
  json["source"] = CleanUtf8(report.source);
  json["computerName"] = AnsiToUtf8(report.computerName, codePage);
  Json tree = Json::array();
  for (const TreeNode& node : report.tree) tree.push_back(NodeJson(node, codePage));
  json["tree"] = std::move(tree);
  Json devices = Json::array();
  for (const auto& row : report.devices) {
    devices.push_back({{"coInfo", AnsiToUtf8(row[0], report.programCodePage)},
                       {"deviceName", AnsiToUtf8(row[1], codePage)},
                       {"vendorId", AnsiToUtf8(row[2], codePage)},
                       {"productId", AnsiToUtf8(row[3], codePage)}});
  }
  json["devices"] = std::move(devices);
  Json notices = Json::array();
  for (const auto& notice : report.notices)
    notices.push_back(AnsiToUtf8(notice.text, report.programCodePage));
  json["notices"] = std::move(notices);
  json["keyFound"] = report.keyFound;
  // Only when something could not be read: a report of a fully read source keeps its keys.
  if (!report.warnings.empty()) json["warnings"] = report.warnings;
  out << json.dump(2) << '\n';
}

void WriteText(const DetectionReport& report, bool details, std::ostream& out) {
  const unsigned codePage = report.ansiCodePage;
  if (report.source == "demo")
    out << "Source: the demo topology bundled with keldar (not this computer's USB)\n";
  else if (report.source == "live")
    out << "Source: this computer's USB\n";
  else
    out << "Source: " << Shown(report.source) << '\n';

  out << "\nDevice tree:\n";
  for (const TreeNode& node : report.tree) WriteTreeText(node, 0, details, codePage, out);

  out << "\nDevice list:\n";
  std::vector<std::vector<std::string>> table;
  table.push_back(report.deviceListHeadings);
  for (const auto& row : report.devices) {
    std::vector<std::string> cells;
    // The vendor's name is the program's own text, the device's name the platform's.
    for (std::size_t c = 0; c < row.size(); ++c)
      cells.push_back(CutTo(Shown(AnsiToUtf8(row[c], c == 0 ? report.programCodePage : codePage)),
                            kMaxColumnWidth));
    table.push_back(std::move(cells));
  }
  std::vector<std::size_t> widths(report.deviceListHeadings.size(), 0);
  for (const auto& row : table)
    for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c)
      widths[c] = std::max(widths[c], DisplayWidth(row[c]));
  for (const auto& row : table) {
    std::string line = " ";
    for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c)
      line += " " + (c + 1 < row.size() ? PadTo(row[c], widths[c] + 2) : row[c]);
    out << line << '\n';
  }
  if (report.devices.empty()) out << "  (no attached device)\n";

  out << "\nNotices:\n";
  for (std::size_t n = 0; n < report.notices.size(); ++n) {
    const auto& notice = report.notices[n];
    out << "  [" << (n + 1) << "] " << Shown(AnsiToUtf8(notice.caption, report.programCodePage))
        << '\n'
        << BoxLines(AnsiToUtf8(notice.text, report.programCodePage), "      ") << '\n';
  }
}

}  // namespace keldar::cli
