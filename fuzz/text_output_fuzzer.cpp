// Arbitrary bytes as the ANSI texts of a detection (computer name, tree texts and labels,
// detail lines, device-list cells, notices) in one of several code pages, through the console's
// text and JSON output. The JSON must always be a document a strict parser accepts, whatever
// bytes the texts held.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/output.h"
#include "detect/report.h"

namespace {

using keldar::DetectionReport;
using keldar::TreeNode;

constexpr unsigned kCodePages[] = {936, 1252, 437, 65001, 54936, 12345};

std::string Text(FuzzedDataProvider& input) { return input.ConsumeRandomLengthString(48); }

TreeNode Node(FuzzedDataProvider& input, int depth) {
  TreeNode node;
  if (input.ConsumeBool())
    node.kind = static_cast<keldar::NodeKind>(input.ConsumeIntegralInRange<int>(0, 3));
  node.text = Text(input);
  if (input.ConsumeBool()) node.label = Text(input);
  node.image = input.ConsumeIntegralInRange<int>(0, 3);
  node.expanded = input.ConsumeBool();
  const int lines = input.ConsumeIntegralInRange<int>(0, 3);
  for (int line = 0; line < lines; ++line) node.details.push_back({Text(input), Text(input)});
  const int children = depth < 3 ? input.ConsumeIntegralInRange<int>(0, 2) : 0;
  for (int child = 0; child < children; ++child) node.children.push_back(Node(input, depth + 1));
  return node;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  DetectionReport report;
  report.source = input.ConsumeBool() ? "demo" : "topology:" + Text(input);
  report.ansiCodePage =
      kCodePages[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kCodePages) - 1)];
  report.computerName = Text(input);
  const int roots = input.ConsumeIntegralInRange<int>(0, 2);
  for (int root = 0; root < roots; ++root) report.tree.push_back(Node(input, 0));
  report.deviceListHeadings = {"Co. Info", "Device Name", "Vender ID", "Product ID"};
  const int devices = input.ConsumeIntegralInRange<int>(0, 3);
  for (int device = 0; device < devices; ++device)
    report.devices.push_back({Text(input), Text(input), Text(input), Text(input)});
  const int notices = input.ConsumeIntegralInRange<int>(0, 2);
  for (int notice = 0; notice < notices; ++notice)
    report.notices.push_back({Text(input), Text(input)});
  report.keyFound = input.ConsumeBool();

  report.driverKeysArePorts = input.ConsumeBool();
  std::ostringstream json;
  keldar::cli::WriteJson(report, json);
  if (!nlohmann::json::accept(json.str())) std::abort();

  std::ostringstream text;
  keldar::cli::WriteText(report, input.ConsumeBool(), text);
  return 0;
}
