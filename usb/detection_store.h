// Everything one detection obtains from the platform and keeps: node and connection records,
// the label texts the node table points to, and the hub handles opened during the walk. The
// node table of a detection refers into its store; the next detection builds a new store and
// the old one is released when nothing refers to it any longer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "usb/ansi_text.h"
#include "usb/requests.h"
#include "platform/records.h"

namespace keldar {

class DetectionStore {
 public:
  DetectionStore() = default;
  DetectionStore(const DetectionStore&) = delete;
  DetectionStore& operator=(const DetectionStore&) = delete;
  ~DetectionStore();

  // A new zero-filled record that lives as long as the store.
  USB_NODE_INFORMATION* NewNodeInformation();
  USB_NODE_CONNECTION_INFORMATION* NewConnectionInformation();

  // Takes a text over; returns the pointer the node table keeps (null stays null).
  const char* Keep(AnsiText text);

  // A hub handle opened during the walk: closed by CloseHubHandles, or by the destructor.
  void KeepHubHandle(Platform& platform, HANDLE hub);
  // Closes every kept hub handle; the walk that opened them calls this when it ends.
  void CloseHubHandles();

  // Device paths whose ports this detection has walked. A path is walked once: a hub whose
  // name reaches an already walked device (two names that become one text in the ANSI code
  // page, a hub that names its own parent) would otherwise be walked again below itself, and
  // the work would grow as the power of the port count.
  void MarkWalked(const std::string& devicePath) { walked_.insert(devicePath); }
  bool WasWalked(const std::string& devicePath) const { return walked_.count(devicePath) != 0; }

  std::size_t RecordCount() const { return nodeInfos_.size() + connectionInfos_.size(); }
  std::size_t TextCount() const { return texts_.size(); }
  std::size_t OpenHubHandleCount() const { return hubHandles_.size(); }

 private:
  std::vector<std::unique_ptr<USB_NODE_INFORMATION>> nodeInfos_;
  std::vector<std::unique_ptr<USB_NODE_CONNECTION_INFORMATION>> connectionInfos_;
  std::vector<AnsiText> texts_;
  Platform* platform_ = nullptr;
  std::vector<HANDLE> hubHandles_;
  std::unordered_set<std::string> walked_;
};

// What the topology objects work with during one detection.
struct UsbContext {
  Platform& platform;
  DetectionStore& store;
  DeviceRequests& requests;  // on `platform`
};

}  // namespace keldar
