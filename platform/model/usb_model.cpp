#include "platform/model/usb_model.h"

namespace keldar::model {

namespace {
struct NameFaultSpelling {
  NameFault fault;
  const char* name;
};
// The spellings used in topology files.
constexpr NameFaultSpelling kNameFaults[] = {
    {NameFault::None, "none"},
    {NameFault::ProbeFails, "probeFails"},
    {NameFault::AbsurdLength, "absurdLength"},
    {NameFault::FetchFails, "fetchFails"},
    {NameFault::ConversionFails, "conversionFails"},
    {NameFault::BareHeader, "bareHeader"},
    {NameFault::ShortLength, "shortLength"},
    {NameFault::OddLength, "oddLength"},
    {NameFault::NoTerminator, "noTerminator"},
};
}  // namespace

const char* NameFaultName(NameFault fault) {
  for (const auto& row : kNameFaults)
    if (row.fault == fault) return row.name;
  return "none";
}

std::optional<NameFault> ParseNameFault(std::string_view name) {
  for (const auto& row : kNameFaults)
    if (name == row.name) return row.fault;
  return std::nullopt;
}

}  // namespace keldar::model
