// Topology files: a UsbModel as JSON (UTF-8), so that a machine's USB tree, its device
// database and the faults to inject can be kept, shared and replayed. docs/topology-format.md
// describes the format key by key.
//
// The reader is strict: an unknown or repeated key, a wrong type, a value out of range, a port
// number used twice on one hub or outside 1..bNumberOfPorts, a hub name used twice, and hubs
// nested more than model::kMaxHubNesting deep are all errors. Every error names the file, the JSON
// path of the offending value and what was expected there:
//   demo.json: controllers[1].rootHub.ports[3].device.descriptor.idVendor: expected an integer
//   from 0 to 65535 or a "0x" hex string, got "0x1FFFF"
// Malformed JSON is reported with its line and column ("demo.json:3:14: malformed JSON: ...").
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include "model/usb_model.h"

namespace keldar {

class TopologyError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The largest topology file read. A machine with 50,000 USB devices takes about 13 MB; what is
// larger no machine produced, and reading stops there rather than exhausting memory.
inline constexpr std::size_t kMaxTopologyFileSize = std::size_t{64} << 20;

// Reads a topology from its JSON text; sourceName is the file name the errors show.
// Throws TopologyError, nothing else.
model::UsbModel ReadTopology(std::string_view json, const std::string& sourceName);

// Reads the topology file at `path`; an unreadable file is a TopologyError naming it.
model::UsbModel LoadTopologyFile(const std::string& path);

// The model as a topology file: two-space indentation, keys in the documented order, IDs, bcd
// values and wHubCharacteristics as "0x%04X" strings, optional texts and faults only when set,
// ports in port order. Reading it back gives an equal model (for a model whose ports are listed
// in ascending order, as the model requires).
std::string WriteTopology(const model::UsbModel& model);

}  // namespace keldar
