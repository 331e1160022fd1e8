#include "usb/detection_store.h"

namespace keldar {

DetectionStore::~DetectionStore() { CloseHubHandles(); }

USB_NODE_INFORMATION* DetectionStore::NewNodeInformation() {
  nodeInfos_.push_back(std::make_unique<USB_NODE_INFORMATION>());
  return nodeInfos_.back().get();
}

USB_NODE_CONNECTION_INFORMATION* DetectionStore::NewConnectionInformation() {
  connectionInfos_.push_back(std::make_unique<USB_NODE_CONNECTION_INFORMATION>());
  return connectionInfos_.back().get();
}

const char* DetectionStore::Keep(AnsiText text) {
  if (!text) return nullptr;
  texts_.push_back(std::move(text));
  return texts_.back().get();
}

void DetectionStore::KeepHubHandle(Platform& platform, HANDLE hub) {
  // A failed open leaves nothing to close.
  if (hub == nullptr || hub == INVALID_HANDLE_VALUE) return;
  platform_ = &platform;
  hubHandles_.push_back(hub);
}

void DetectionStore::CloseHubHandles() {
  for (HANDLE hub : hubHandles_) platform_->CloseHandle(hub);
  hubHandles_.clear();
}

}  // namespace keldar
