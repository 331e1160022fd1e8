#include "cli/output.h"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/watch.h"
#include "detect/environment.h"
#include "detect/verdict.h"
#include "text/text_codec.h"
#include "text/utf8.h"

namespace keldar::cli {

using Json = nlohmann::ordered_json;

namespace {

// The report is written as it is walked, so that a tree of a million items never stands in
// memory a second time as a JSON document. Each small object is the library's, written as
// dump(2) writes it at its depth; the whole output is what dump(2) of the document would be.
std::string Indented(const Json& value, const std::string& indent) {
  const std::string dumped = value.dump(2);
  std::string text;
  text.reserve(dumped.size());
  // Line breaks inside strings are escaped: each one here is between two lines of the dump.
  for (const char c : dumped) {
    text += c;
    if (c == '\n') text += indent;
  }
  return text;
}

template <typename Items, typename WriteItem>
void WriteArray(const Items& items, const std::string& indent, std::ostream& out,
                const WriteItem& write) {
  if (items.empty()) {
    out << "[]";
    return;
  }
  const std::string inner = indent + "  ";
  const char* separator = "[\n";
  for (const auto& item : items) {
    out << separator << inner;
    write(item, inner);
    separator = ",\n";
  }
  out << '\n' << indent << ']';
}

void WriteNodeJson(const TreeNode& node, unsigned codePage, const std::string& indent,
                   std::ostream& out) {
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
  std::string head = Indented(json, indent);
  head.resize(head.size() - indent.size() - 2);  // the object stays open: "\n" indent "}"
  out << head << ",\n" << indent << "  \"children\": ";
  WriteArray(node.children, indent + "  ", out,
             [&](const TreeNode& child, const std::string& inner) {
               WriteNodeJson(child, codePage, inner, out);
             });
  out << '\n' << indent << '}';
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
    const std::size_t length = DecodeUtf8Character(std::string_view(utf8).substr(i)).length;
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
    shown += EscapeControls(utf8.substr(from, crlf - from)) + "\n" + indent;
  return shown + EscapeControls(utf8.substr(from));
}

void WriteTreeText(const TreeNode& node, int depth, bool details, unsigned codePage,
                   std::ostream& out) {
  const std::string indent(2 * static_cast<std::size_t>(depth + 1), ' ');
  out << indent << EscapeControls(AnsiToUtf8(node.text, codePage)) << '\n';
  if (details) {
    for (const auto& line : node.details) {
      const std::string value = EscapeControls(AnsiToUtf8(line[1], codePage));
      const std::string label = EscapeControls(AnsiToUtf8(line[0], codePage));
      out << indent << "  | " << (value.empty() ? label : PadTo(label, 22) + value) << '\n';
    }
  }
  for (const TreeNode& child : node.children) WriteTreeText(child, depth + 1, details, codePage, out);
}

}  // namespace

Json VerdictItems(const std::vector<VerdictItem>& items) {
  Json list = Json::array();
  for (const VerdictItem& item : items) {
    Json entry = {{"code", item.code}, {"fact", CleanUtf8(item.fact)}};
    if (item.problemCode) entry["problemCode"] = *item.problemCode;
    list.push_back(std::move(entry));
  }
  return list;
}

std::string InWords(const std::vector<VerdictItem>& items) {
  std::string words;
  for (const VerdictItem& item : items)
    words += (words.empty() ? "" : "; ") + std::string(VerdictWords(item.code)) + " (" +
             EscapeControls(item.fact) + ")";
  return words;
}

namespace {

// The hypervisor that the SMBIOS names show; none where neither was read.
std::optional<std::string> HypervisorOf(const EnvironmentFacts& facts) {
  if (!facts.systemManufacturer && !facts.systemProductName) return std::nullopt;
  return keldar::HypervisorOf(facts.systemManufacturer.value_or(""),
                              facts.systemProductName.value_or(""));
}

Json EnvironmentJson(const EnvironmentFacts& facts, unsigned codePage) {
  const auto text = [&](const std::optional<std::string>& ansi) {
    return ansi ? Json(AnsiToUtf8(*ansi, codePage)) : Json(nullptr);
  };
  const bool namesRead = facts.systemManufacturer || facts.systemProductName;
  const std::optional<std::string> hypervisor = HypervisorOf(facts);
  return {{"remoteSession", facts.remoteSession ? Json(*facts.remoteSession) : Json(nullptr)},
          {"systemManufacturer", text(facts.systemManufacturer)},
          {"systemProductName", text(facts.systemProductName)},
          {"virtualMachine", namesRead ? Json(hypervisor.has_value()) : Json(nullptr)},
          {"hypervisor", hypervisor ? Json(*hypervisor) : Json(nullptr)}};
}

// Why no key may show where the program runs, in one line; empty when nothing there says so.
std::string WhyKeysMayBeMissing(const std::optional<EnvironmentFacts>& facts) {
  if (!facts) return {};
  std::string why;
  if (facts->remoteSession.value_or(false))
    why = "in a remote desktop session a key on the PC you sit at is seen only when the session "
          "redirects it";
  if (const auto hypervisor = HypervisorOf(*facts))
    why += (why.empty() ? "" : "; ") + std::string("a virtual machine (") + *hypervisor +
           ") sees only the USB devices passed through to it";
  return why;
}

}  // namespace

void WriteJson(const DetectionReport& report, std::ostream& out) {
  const unsigned codePage = report.ansiCodePage;
  // The source names a file by its path, whose bytes need not be UTF-8 on Linux; such bytes
  // become U+FFFD rather than a document the JSON writer refuses.
  out << "{\n  \"source\": " << Json(CleanUtf8(report.source)).dump()
      << ",\n  \"computerName\": " << Json(AnsiToUtf8(report.computerName, codePage)).dump()
      << ",\n  \"tree\": ";
  WriteArray(report.tree, "  ", out, [&](const TreeNode& node, const std::string& indent) {
    WriteNodeJson(node, codePage, indent, out);
  });
  out << ",\n  \"devices\": ";
  WriteArray(report.devices, "  ", out, [&](const auto& row, const std::string& indent) {
    out << Indented({{"coInfo", AnsiToUtf8(row[0], report.programCodePage)},
                     {"deviceName", AnsiToUtf8(row[1], codePage)},
                     {"vendorId", AnsiToUtf8(row[2], codePage)},
                     {"productId", AnsiToUtf8(row[3], codePage)}},
                    indent);
  });
  out << ",\n  \"notices\": ";
  WriteArray(report.notices, "  ", out, [&](const auto& notice, const std::string&) {
    out << Json(AnsiToUtf8(notice.text, report.programCodePage)).dump();
  });
  out << ",\n  \"keyFound\": " << (report.keyFound ? "true" : "false");
  const std::vector<KeyView> keys = KeysOf(report);
  out << ",\n  \"keys\": ";
  std::size_t k = 0;  // the report's key that `key` shows
  WriteArray(keys, "  ", out, [&](const KeyView& key, const std::string& indent) {
    const KeyFacts& facts = report.keys[k++].facts;
    const KeyVerdict& verdict = key.verdict;
    Json json = {{"model", key.model},
                 {"vendorId", key.vendorId},
                 {"productId", key.productId},
                 {"port", key.port},
                 {"transport", facts.usbip ? "usbip" : "local"}};
    if (const auto& usbip = facts.usbip) {
      json["server"] = usbip->server ? Json(CleanUtf8(*usbip->server)) : Json(nullptr);
      json["remoteBusId"] =
          usbip->remoteBusId ? Json(CleanUtf8(*usbip->remoteBusId)) : Json(nullptr);
    }
    json["driver"] = verdict.driver.empty() ? Json(nullptr) : Json(CleanUtf8(verdict.driver));
    json["usable"] = verdict.usable ? Json(*verdict.usable) : Json(nullptr);
    json["reasons"] = VerdictItems(verdict.reasons);
    json["notes"] = VerdictItems(verdict.notes);
    out << Indented(json, indent);
  });
  // Only where the source tells where the program runs: older topology files say nothing.
  if (report.environment)
    out << ",\n  \"environment\": " << Indented(EnvironmentJson(*report.environment, codePage), "  ");
  // Only when something could not be read: a report of a fully read source keeps its keys.
  if (!report.warnings.empty()) {
    out << ",\n  \"warnings\": ";
    WriteArray(report.warnings, "  ", out, [&](const std::string& warning, const std::string&) {
      out << Json(CleanUtf8(warning)).dump();  // a sysfs path need not be UTF-8
    });
  }
  out << "\n}\n";
}

void WriteText(const DetectionReport& report, bool details, std::ostream& out) {
  const unsigned codePage = report.ansiCodePage;
  if (report.source == "demo")
    out << "Source: the demo topology bundled with keldar (not this computer's USB)\n";
  else if (report.source == "live")
    out << "Source: this computer's USB\n";
  else
    out << "Source: " << EscapeControls(report.source) << '\n';

  out << "\nDevice tree:\n";
  for (const TreeNode& node : report.tree) WriteTreeText(node, 0, details, codePage, out);

  out << "\nDevice list:\n";
  std::vector<std::vector<std::string>> table;
  table.push_back(report.deviceListHeadings);
  for (const auto& row : report.devices) {
    std::vector<std::string> cells;
    // The vendor's name is the program's own text, the device's name the platform's.
    for (std::size_t c = 0; c < row.size(); ++c)
      cells.push_back(CutTo(EscapeControls(AnsiToUtf8(row[c], c == 0 ? report.programCodePage : codePage)),
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

  out << "\nKeys:\n";
  const std::vector<KeyView> keys = KeysOf(report);
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const KeyVerdict& verdict = keys[k].verdict;
    out << "  " << EscapeControls(keys[k].model) << " (" << keys[k].vendorId << ':'
        << keys[k].productId << ") at " << EscapeControls(keys[k].port);
    if (const auto& usbip = report.keys[k].facts.usbip) {
      out << ", attached over the network";
      if (usbip->server) out << " from " << EscapeControls(CleanUtf8(*usbip->server));
      if (usbip->remoteBusId) out << " (" << EscapeControls(CleanUtf8(*usbip->remoteBusId)) << ')';
    }
    out << ": ";
    if (!verdict.usable)
      out << "usability not known: " << InWords(verdict.reasons);
    else if (*verdict.usable)
      out << "usable";
    else
      out << "not usable: " << InWords(verdict.reasons);
    if (!verdict.driver.empty()) out << "; driver " << EscapeControls(verdict.driver);
    if (!verdict.notes.empty()) out << "; note: " << InWords(verdict.notes);
    out << '\n';
  }
  if (keys.empty()) out << "  (no known key)\n";
  if (const std::string why = WhyKeysMayBeMissing(report.environment); keys.empty() && !why.empty())
    out << "  Keys may be missing here: " << EscapeControls(why) << '\n';

  out << "\nNotices:\n";
  for (std::size_t n = 0; n < report.notices.size(); ++n) {
    const auto& notice = report.notices[n];
    out << "  [" << (n + 1) << "] " << EscapeControls(AnsiToUtf8(notice.caption, report.programCodePage))
        << '\n'
        << BoxLines(AnsiToUtf8(notice.text, report.programCodePage), "      ") << '\n';
  }
}

}  // namespace keldar::cli
