// The hub and host-controller drivers' reply records, in the platform's published (packed)
// layouts. A record is kept exactly as the driver filled it and handed around as a pointer to
// it; readers read the named fields. Sizes are fixed by what the hub driver expects: 76 bytes of
// node information, and a connection record with room for 30 pipe entries (365 bytes).
#pragma once

#include <cstddef>
#include <cstdint>

namespace keldar {

#pragma pack(push, 1)

struct USB_HUB_DESCRIPTOR {
  std::uint8_t bDescriptorLength;
  std::uint8_t bDescriptorType;
  std::uint8_t bNumberOfPorts;
  std::uint16_t wHubCharacteristics;
  std::uint8_t bPowerOnToPowerGood;
  std::uint8_t bHubControlCurrent;
  std::uint8_t bRemoveAndPowerMask[64];
};

struct USB_HUB_INFORMATION {
  USB_HUB_DESCRIPTOR HubDescriptor;
  std::uint8_t HubIsBusPowered;
};

// NodeType is never examined: every reply is read in its hub form.
struct USB_NODE_INFORMATION {
  std::uint32_t NodeType;
  USB_HUB_INFORMATION HubInformation;
};

struct USB_DEVICE_DESCRIPTOR {
  std::uint8_t bLength;
  std::uint8_t bDescriptorType;
  std::uint16_t bcdUSB;
  std::uint8_t bDeviceClass;
  std::uint8_t bDeviceSubClass;
  std::uint8_t bDeviceProtocol;
  std::uint8_t bMaxPacketSize0;
  std::uint16_t idVendor;
  std::uint16_t idProduct;
  std::uint16_t bcdDevice;
  std::uint8_t iManufacturer;
  std::uint8_t iProduct;
  std::uint8_t iSerialNumber;
  std::uint8_t bNumConfigurations;
};

struct USB_ENDPOINT_DESCRIPTOR {
  std::uint8_t bLength;
  std::uint8_t bDescriptorType;
  std::uint8_t bEndpointAddress;
  std::uint8_t bmAttributes;
  std::uint16_t wMaxPacketSize;
  std::uint8_t bInterval;
};

struct USB_PIPE_INFO {
  USB_ENDPOINT_DESCRIPTOR EndpointDescriptor;
  std::uint32_t ScheduleOffset;
};

inline constexpr int kPipeInfoSlots = 30;

struct USB_NODE_CONNECTION_INFORMATION {
  std::uint32_t ConnectionIndex;
  USB_DEVICE_DESCRIPTOR DeviceDescriptor;
  std::uint8_t CurrentConfigurationValue;
  std::uint8_t LowSpeed;
  std::uint8_t DeviceIsHub;
  std::uint16_t DeviceAddress;
  std::uint32_t NumberOfOpenPipes;
  std::uint32_t ConnectionStatus;  // USB_CONNECTION_STATUS; only 0 means nothing attached
  USB_PIPE_INFO PipeList[kPipeInfoSlots];
};

// Name replies: ActualLength counts the whole reply (header, UTF-16LE text, 0 unit). The text
// members are one unit long in the declaration; the real text runs to ActualLength.
struct USB_ROOT_HUB_NAME {
  std::uint32_t ActualLength;
  char16_t RootHubName[1];
};

struct USB_HCD_DRIVERKEY_NAME {
  std::uint32_t ActualLength;
  char16_t DriverKeyName[1];
};

struct USB_NODE_CONNECTION_NAME {
  std::uint32_t ConnectionIndex;
  std::uint32_t ActualLength;
  char16_t NodeName[1];
};

struct USB_NODE_CONNECTION_DRIVERKEY_NAME {
  std::uint32_t ConnectionIndex;
  std::uint32_t ActualLength;
  char16_t DriverKeyName[1];
};

#pragma pack(pop)

static_assert(sizeof(USB_HUB_DESCRIPTOR) == 71);
static_assert(sizeof(USB_NODE_INFORMATION) == 76);
static_assert(offsetof(USB_NODE_INFORMATION, HubInformation) == 4);
static_assert(offsetof(USB_NODE_INFORMATION, HubInformation.HubDescriptor.bNumberOfPorts) == 6);
static_assert(offsetof(USB_NODE_INFORMATION, HubInformation.HubDescriptor.wHubCharacteristics) == 7);
static_assert(offsetof(USB_NODE_INFORMATION, HubInformation.HubIsBusPowered) == 75);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_PIPE_INFO) == 11);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor) == 4);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceDescriptor.idVendor) == 12);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, CurrentConfigurationValue) == 22);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, LowSpeed) == 23);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceIsHub) == 24);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, DeviceAddress) == 25);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, NumberOfOpenPipes) == 27);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == 31);
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, PipeList) == 35);
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION) == 365);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, ActualLength) == 4);
static_assert(offsetof(USB_NODE_CONNECTION_NAME, NodeName) == 8);
static_assert(offsetof(USB_ROOT_HUB_NAME, RootHubName) == 4);

// No hub or controller name comes near this; a larger ActualLength or property size is a
// misbehaving driver, and nothing is allocated for it.
inline constexpr std::uint32_t kMaxNameReplySize = 64 * 1024;

// The buffer the detection hands GetComputerNameA, terminator included: a longer name fails
// with ERROR_BUFFER_OVERFLOW.
inline constexpr std::uint32_t kComputerNameBufferSize = 1024;

}  // namespace keldar
