#include "usb/friendly_names.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "platform/hardware_id.h"
#include "usb/access.h"
#include "usb/property_reader.h"

namespace keldar {

// The same reads as FindFriendlyName, through the same property reader: the same declared
// sizes, re-allocations and give-up points, so every answer is the text that lookup would have
// returned. The differential test holds the two together.

namespace {

KeyDeviceState Unknown(std::string why) {
  KeyDeviceState state;
  state.why = std::move(why);
  return state;
}

KeyDeviceState ReadState(Platform& platform, HDEVINFO set, SP_DEVINFO_DATA element) {
  KeyDeviceState state;
  WorkingBuffer buffer;
  DWORD size = 0, required = 0;
  if (ReadProperty(platform, set, element, SPDRP_SERVICE, buffer, size, required)) {
    // A success on the 0-byte probe wrote nothing to read.
    if (size == 0) return Unknown("the device's service could not be read");
    state.service = buffer.text();  // ends within the block: one 0 byte lies behind it
  } else if (platform.GetLastError() != ERROR_INVALID_DATA) {
    // Only a missing property says "no service"; a read that gave up says nothing.
    return Unknown("the device's service could not be read");
  }
  BYTE flags[sizeof(std::uint32_t)] = {};
  DWORD type = 0;
  if (platform.SetupDiGetDeviceRegistryPropertyA(set, &element, SPDRP_CONFIGFLAGS, &type, flags,
                                                 sizeof flags, &required)) {
    std::uint32_t value = 0;
    std::memcpy(&value, flags, sizeof value);
    state.configFlags = value;
  }
  // Set first: a success need not write them.
  ULONG status = 0, problem = 0;
  if (platform.CM_Get_DevNode_Status(&status, &problem, element.DevInst, 0) == CR_SUCCESS) {
    state.devNodeStatus = static_cast<std::uint32_t>(status);
    state.problemCode = static_cast<std::uint32_t>(problem);
  }
  state.known = true;
  return state;
}

}  // namespace

FriendlyNames::FriendlyNames(FriendlyNames&&) noexcept = default;
FriendlyNames& FriendlyNames::operator=(FriendlyNames&&) noexcept = default;
FriendlyNames::~FriendlyNames() = default;

FriendlyNames FriendlyNames::Read(Platform& platform, bool forKeyStates) {
  FriendlyNames snapshot;
  auto devices = std::make_unique<PresentDevices>(platform);
  while (forKeyStates ? devices->NextDevice() : devices->NextDriverKey()) {
    if (!devices->HasDriverKey()) {
      // Only a device without a driver key is known by its hardware ID: one more read for the
      // few devices whose driver is not installed, none for the rest.
      WorkingBuffer ids;
      DWORD size = 0, required = 0;
      SP_DEVINFO_DATA element = devices->Element();
      if (ReadProperty(platform, devices->Set(), element, SPDRP_HARDWAREID, ids, size, required))
        if (const auto found = UsbIdsOfHardwareIds(ids.text(), ids.capacity()))
          snapshot.keyless_[*found].push_back(element);
      continue;
    }
    std::string driverKey = devices->DriverKey();
    // The first device in enumeration order answers for its key; later ones are never asked.
    if (snapshot.names_.count(driverKey) != 0) continue;
    if (forKeyStates) snapshot.elements_.emplace(driverKey, devices->Element());
    snapshot.names_.emplace(std::move(driverKey), devices->ReadFriendlyName().text());
  }
  if (forKeyStates) snapshot.devices_ = std::move(devices);
  return snapshot;
}

KeyDeviceState FriendlyNames::KeyState(Platform& platform, const char* driverKey,
                                       std::uint16_t vendorId, std::uint16_t productId) const {
  if (!devices_ || !devices_->Opened())
    return Unknown("the device-installation database could not be read");
  if (driverKey != nullptr && *driverKey != '\0') {
    const auto found = elements_.find(driverKey);
    if (found == elements_.end())
      return Unknown("no present device carries the key's driver key");
    return ReadState(platform, devices_->Set(), found->second);
  }
  const auto found = keyless_.find(static_cast<std::uint32_t>(vendorId) << 16 | productId);
  if (found == keyless_.end())
    return Unknown("no present device without a driver key names the key's IDs");
  if (found->second.size() > 1)
    return Unknown(std::to_string(found->second.size()) +
                   " present devices without a driver key name the key's IDs");
  return ReadState(platform, devices_->Set(), found->second.front());
}

const char* FriendlyNames::Find(const char* driverKey) const {
  if (driverKey == nullptr) return nullptr;
  const auto found = names_.find(driverKey);
  return found != names_.end() ? found->second.c_str() : nullptr;
}

const char* FriendlyNameLookup::Find(const char* driverKey) {
  if (driverKey == nullptr) return nullptr;
  if (!snapshot_) snapshot_ = FriendlyNames::Read(platform_, forKeyStates_);
  return snapshot_->Find(driverKey);
}

KeyDeviceState FriendlyNameLookup::KeyState(const char* driverKey, std::uint16_t vendorId,
                                            std::uint16_t productId) {
  if (!snapshot_) snapshot_ = FriendlyNames::Read(platform_, forKeyStates_);
  return snapshot_->KeyState(platform_, driverKey, vendorId, productId);
}

}  // namespace keldar
