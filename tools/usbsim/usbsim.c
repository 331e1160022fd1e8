/* A simulated USB host-controller and hub driver: test equipment that lets the shipped
 * Windows programs meet the real CreateFile/DeviceIoControl path under wine.
 *
 * At start it reads a machine image (written by keldar_usbsim from a topology file; layout in
 * usbsim_image.h) from the path in its service key's value "Image", creates one device per
 * host controller (linked as \DosDevices\HCDn) and one per hub (linked under the name that the
 * root-hub-name and connection-name queries return), and answers the six USB IOCTLs the way
 * the hub and host-controller drivers document them. Injected faults become real failures of
 * the real calls. On unload it writes how many opens and requests it served into the service
 * key (REG_DWORD values), so that a run's cost can be read back.
 *
 * Deliberately dumb: every answer is prebuilt by the image writer; this file only looks up
 * records, cuts them to the caller's buffer and counts. */
#include <ntddk.h>

#include "usbsim_image.h"

/* The USB control codes (FILE_DEVICE_USB, buffered, any access), as the platform's usbioctl.h
 * defines them. */
#define SIM_USB_CODE(function) CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define SIM_IOCTL_ROOT_HUB_NAME_OR_NODE_INFORMATION SIM_USB_CODE(258)
#define SIM_IOCTL_NODE_CONNECTION_INFORMATION SIM_USB_CODE(259)
#define SIM_IOCTL_NODE_CONNECTION_NAME SIM_USB_CODE(261)
#define SIM_IOCTL_NODE_CONNECTION_DRIVERKEY_NAME SIM_USB_CODE(264)
#define SIM_IOCTL_HCD_DRIVERKEY_NAME SIM_USB_CODE(265)

#define SIM_POOL_TAG 0x6d69534b /* 'KSim' */

typedef struct {
  const UCHAR* bytes; /* UTF-16LE, no terminator */
  ULONG size;         /* in bytes, even */
} SimText;

typedef struct {
  ULONG flags;
  ULONG driverKeyFault;
  ULONG hubNameFault;
  LONG attachedHub;
  const UCHAR* connection; /* SIM_CONNECTION_HEAD_SIZE bytes */
  const UCHAR* pipes;
  ULONG pipeCount;
  SimText driverKey;
} SimPort;

typedef struct {
  ULONG flags;
  SimText name;
  const UCHAR* nodeInformation; /* SIM_NODE_INFORMATION_SIZE bytes */
  ULONG portCount;
  SimPort* ports; /* port n is ports[n - 1] */
  PDEVICE_OBJECT device;
  UNICODE_STRING link;
} SimHub;

typedef struct {
  LONG hcdNumber;
  ULONG flags;
  ULONG driverKeyFault;
  ULONG rootHubNameFault;
  LONG rootHub;
  SimText driverKey;
  SimText interfaceName;
  PDEVICE_OBJECT device;
  UNICODE_STRING link;
  UNICODE_STRING interfaceLink;
} SimController;

enum { SIM_CONTROLLER = 1, SIM_HUB = 2 };

typedef struct {
  int kind;
  ULONG index;
} SimDeviceExtension;

/* What the driver served since it started. */
enum {
  SIM_COUNT_OPENS,
  SIM_COUNT_FAILED_OPENS,
  SIM_COUNT_CLOSES,
  SIM_COUNT_NODE_INFORMATION,
  SIM_COUNT_CONNECTION_INFORMATION,
  SIM_COUNT_CONNECTION_NAME,
  SIM_COUNT_CONNECTION_DRIVERKEY_NAME,
  SIM_COUNT_ROOT_HUB_NAME,
  SIM_COUNT_HCD_DRIVERKEY_NAME,
  SIM_COUNT_OTHER_REQUESTS,
  SIM_COUNT_HELD,
  SIM_COUNT_CANCELLED,
  SIM_COUNTERS
};
static const WCHAR* const kCounterNames[SIM_COUNTERS] = {
    L"Opens",
    L"FailedOpens",
    L"Closes",
    L"NodeInformation",
    L"ConnectionInformation",
    L"ConnectionName",
    L"ConnectionDriverKeyName",
    L"RootHubName",
    L"HcdDriverKeyName",
    L"OtherRequests",
    L"Held",
    L"Cancelled",
};

static struct {
  UCHAR* image;
  ULONG imageSize;
  ULONG controllerCount;
  SimController* controllers;
  ULONG hubCount;
  SimHub* hubs;
  SimPort* ports;
  ULONG counters[SIM_COUNTERS];
  UNICODE_STRING serviceKey;
  ULONG personality;
  /* Under the vanishing personality: the port whose device goes away after its first request,
   * and whether it has gone. */
  SimPort* vanishing;
  BOOLEAN vanished;
} sim;



/* ---- the image ---- */

typedef struct {
  const UCHAR* at;
  const UCHAR* end;
  BOOLEAN bad;
} SimCursor;

static ULONG TakeU32(SimCursor* c) {
  ULONG value;
  if (c->bad || (ULONG)(c->end - c->at) < 4) {
    c->bad = TRUE;
    return 0;
  }
  value = (ULONG)c->at[0] | (ULONG)c->at[1] << 8 | (ULONG)c->at[2] << 16 | (ULONG)c->at[3] << 24;
  c->at += 4;
  return value;
}

static const UCHAR* TakeBytes(SimCursor* c, ULONG size) {
  const UCHAR* bytes = c->at;
  if (c->bad || (ULONG)(c->end - c->at) < size) {
    c->bad = TRUE;
    return NULL;
  }
  c->at += size;
  return bytes;
}

static SimText TakeText(SimCursor* c) {
  SimText text;
  text.size = TakeU32(c);
  if (text.size % 2 != 0) c->bad = TRUE;
  text.bytes = TakeBytes(c, text.size);
  return text;
}

static void* Allocate(SIZE_T size) {
  void* block = ExAllocatePoolWithTag(NonPagedPool, size ? size : 1, SIM_POOL_TAG);
  if (block) RtlZeroMemory(block, size ? size : 1);
  return block;
}

static NTSTATUS ParseImage(void) {
  SimCursor c = {sim.image, sim.image + sim.imageSize, FALSE};
  ULONG i, p, totalPorts = 0;
  if (TakeU32(&c) != SIM_IMAGE_MAGIC || TakeU32(&c) != SIM_IMAGE_VERSION) return STATUS_INVALID_IMAGE_FORMAT;
  sim.controllerCount = TakeU32(&c);
  sim.hubCount = TakeU32(&c);
  totalPorts = TakeU32(&c);
  if (c.bad || sim.controllerCount > 64 || sim.hubCount > 65536 || totalPorts > 65536 * 255)
    return STATUS_INVALID_IMAGE_FORMAT;
  sim.controllers = Allocate(sizeof(SimController) * sim.controllerCount);
  sim.hubs = Allocate(sizeof(SimHub) * sim.hubCount);
  sim.ports = Allocate(sizeof(SimPort) * totalPorts);
  if (!sim.controllers || !sim.hubs || !sim.ports) return STATUS_INSUFFICIENT_RESOURCES;
  for (i = 0; i < sim.controllerCount; ++i) {
    SimController* controller = &sim.controllers[i];
    controller->hcdNumber = (LONG)TakeU32(&c);
    controller->flags = TakeU32(&c);
    controller->driverKeyFault = TakeU32(&c);
    controller->rootHubNameFault = TakeU32(&c);
    controller->rootHub = (LONG)TakeU32(&c);
    controller->driverKey = TakeText(&c);
    controller->interfaceName = TakeText(&c);
    if (controller->rootHub >= (LONG)sim.hubCount) c.bad = TRUE;
  }
  {
    ULONG used = 0;
    for (i = 0; i < sim.hubCount && !c.bad; ++i) {
      SimHub* hub = &sim.hubs[i];
      hub->flags = TakeU32(&c);
      hub->name = TakeText(&c);
      hub->nodeInformation = TakeBytes(&c, SIM_NODE_INFORMATION_SIZE);
      hub->portCount = TakeU32(&c);
      if (hub->portCount > 255 || used + hub->portCount > totalPorts) {
        c.bad = TRUE;
        break;
      }
      hub->ports = &sim.ports[used];
      used += hub->portCount;
      for (p = 0; p < hub->portCount && !c.bad; ++p) {
        SimPort* port = &hub->ports[p];
        port->flags = TakeU32(&c);
        port->driverKeyFault = TakeU32(&c);
        port->hubNameFault = TakeU32(&c);
        port->attachedHub = (LONG)TakeU32(&c);
        port->connection = TakeBytes(&c, SIM_CONNECTION_HEAD_SIZE);
        port->pipeCount = TakeU32(&c);
        port->pipes = TakeBytes(&c, port->pipeCount * SIM_PIPE_INFO_SIZE);
        port->driverKey = TakeText(&c);
        if (port->attachedHub >= (LONG)sim.hubCount || port->pipeCount > 255) c.bad = TRUE;
      }
    }
  }
  return c.bad || c.at != c.end ? STATUS_INVALID_IMAGE_FORMAT : STATUS_SUCCESS;
}

static NTSTATUS OpenServiceKey(HANDLE* key) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &sim.serviceKey, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  return ZwOpenKey(key, KEY_READ | KEY_SET_VALUE, &attributes);
}

/* The service key's DWORD value `name`, or `fallback` when it is absent. */
static ULONG ReadServiceDword(const WCHAR* name, ULONG fallback) {
  HANDLE key;
  ULONG size = 0;
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
  KEY_VALUE_PARTIAL_INFORMATION* value = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
  UNICODE_STRING valueName;
  NTSTATUS status;
  if (!NT_SUCCESS(OpenServiceKey(&key))) return fallback;
  RtlInitUnicodeString(&valueName, name);
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, sizeof buffer, &size);
  ZwClose(key);
  if (!NT_SUCCESS(status) || value->Type != REG_DWORD || value->DataLength != sizeof(ULONG)) return fallback;
  return (ULONG)value->Data[0] | (ULONG)value->Data[1] << 8 | (ULONG)value->Data[2] << 16 | (ULONG)value->Data[3] << 24;
}

static NTSTATUS ReadImage(void) {
  HANDLE key, file;
  NTSTATUS status;
  ULONG size = 0;
  UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 1024 * sizeof(WCHAR)];
  KEY_VALUE_PARTIAL_INFORMATION* value = (KEY_VALUE_PARTIAL_INFORMATION*)buffer;
  UNICODE_STRING valueName, path;
  OBJECT_ATTRIBUTES attributes;
  IO_STATUS_BLOCK io;
  FILE_STANDARD_INFORMATION standard;

  status = OpenServiceKey(&key);
  if (!NT_SUCCESS(status)) return status;
  RtlInitUnicodeString(&valueName, L"Image");
  RtlZeroMemory(buffer, sizeof buffer);
  status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, value, sizeof buffer - sizeof(WCHAR), &size);
  ZwClose(key);
  if (!NT_SUCCESS(status)) return status;
  if (value->Type != REG_SZ || value->DataLength < sizeof(WCHAR)) return STATUS_OBJECT_TYPE_MISMATCH;
  path.Buffer = (WCHAR*)value->Data;
  path.Length = (USHORT)(value->DataLength - sizeof(WCHAR));
  while (path.Length >= sizeof(WCHAR) && path.Buffer[path.Length / sizeof(WCHAR) - 1] == 0) path.Length -= sizeof(WCHAR);
  path.MaximumLength = path.Length;

  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
  status = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0);
  if (!NT_SUCCESS(status)) return status;
  status = ZwQueryInformationFile(file, &io, &standard, sizeof standard, FileStandardInformation);
  if (NT_SUCCESS(status) && (standard.EndOfFile.QuadPart <= 0 || standard.EndOfFile.QuadPart > 256 * 1024 * 1024))
    status = STATUS_INVALID_IMAGE_FORMAT;
  if (NT_SUCCESS(status)) {
    sim.imageSize = (ULONG)standard.EndOfFile.QuadPart;
    sim.image = Allocate(sim.imageSize);
    if (!sim.image) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    status = ZwReadFile(file, NULL, NULL, NULL, &io, sim.image, sim.imageSize, &offset, NULL);
    if (NT_SUCCESS(status) && io.Information != sim.imageSize) status = STATUS_END_OF_FILE;
  }
  ZwClose(file);
  return status;
}

/* ---- answers ---- */

static void PutU32(UCHAR* at, ULONG value) {
  at[0] = (UCHAR)value;
  at[1] = (UCHAR)(value >> 8);
  at[2] = (UCHAR)(value >> 16);
  at[3] = (UCHAR)(value >> 24);
}

/* A name reply (USB_ROOT_HUB_NAME, USB_HCD_DRIVERKEY_NAME: header ActualLength; the two
 * connection replies: ConnectionIndex, then ActualLength). ActualLength counts the whole reply:
 * header, UTF-16 text and its 0 unit. A buffer smaller than the whole record (the header and
 * one unit) is refused, as the hub driver refuses it. A buffer that holds the record but not
 * the whole reply gets the record alone: ActualLength, the first unit 0, and success, the probe
 * every caller relies on. */
static NTSTATUS AnswerName(UCHAR* buffer, ULONG outSize, BOOLEAN perConnection, ULONG connectionIndex,
                           SimText text, ULONG fault, ULONG_PTR* information) {
  const ULONG header = perConnection ? 8 : 4;
  ULONG actualLength, contentSize, written;
  BOOLEAN terminated = TRUE;
  if (outSize < header + 2) return STATUS_BUFFER_TOO_SMALL;
  actualLength = header + text.size + 2;
  contentSize = text.size;
  switch (fault) {
    case SIM_FAULT_PROBE_FAILS:
      if (outSize < actualLength) return STATUS_UNSUCCESSFUL;
      break;
    case SIM_FAULT_FETCH_FAILS:
      if (outSize >= actualLength) return STATUS_UNSUCCESSFUL;
      break;
    case SIM_FAULT_ABSURD_LENGTH:
      actualLength = SIM_ABSURD_LENGTH;
      break;
    case SIM_FAULT_BARE_HEADER:
      contentSize = 0;
      actualLength = header + 2;
      break;
    case SIM_FAULT_SHORT_LENGTH:
      actualLength = header;
      break;
    case SIM_FAULT_ODD_LENGTH:
      actualLength = header + text.size + 1;
      break;
    case SIM_FAULT_NO_TERMINATOR:
      terminated = FALSE;
      actualLength = header + text.size;
      break;
    default:
      break;
  }
  /* The strict hub driver counts the terminator twice (its reply carries two 0 units), as
   * independent implementations do; the faults keep their exact shapes. */
  if (sim.personality == SIM_PERSONALITY_STRICT && fault == SIM_FAULT_NONE) actualLength += 2;
  if (perConnection) PutU32(buffer, sim.personality == SIM_PERSONALITY_STRICT ? 0 : connectionIndex);
  PutU32(buffer + header - 4, actualLength);
  if (outSize < actualLength) {
    buffer[header] = buffer[header + 1] = 0;
    *information = header + 2;
    return STATUS_SUCCESS;
  }
  /* A reply that announces less than it carries gets the whole units that fit. */
  written = header;
  {
    const ULONG room = (outSize - header) & ~1u;
    const ULONG copy = contentSize < room ? contentSize : room;
    RtlCopyMemory(buffer + header, text.bytes, copy);
    written += copy;
    while (terminated && copy == contentSize && room >= written - header + 2 && written < actualLength) {
      buffer[written] = 0;
      buffer[written + 1] = 0;
      written += 2;
    }
  }
  *information = written;
  return STATUS_SUCCESS;
}

static NTSTATUS AnswerController(const SimController* controller, ULONG code, UCHAR* buffer, ULONG outSize,
                                 ULONG_PTR* information) {
  static const SimText none = {NULL, 0};
  switch (code) {
    case SIM_IOCTL_ROOT_HUB_NAME_OR_NODE_INFORMATION:
      ++sim.counters[SIM_COUNT_ROOT_HUB_NAME];
      /* A controller whose root hub did not start has no name to give. */
      if (controller->rootHub < 0) return STATUS_UNSUCCESSFUL;
      return AnswerName(buffer, outSize, FALSE, 0, sim.hubs[controller->rootHub].name, controller->rootHubNameFault,
                        information);
    case SIM_IOCTL_HCD_DRIVERKEY_NAME:
      ++sim.counters[SIM_COUNT_HCD_DRIVERKEY_NAME];
      return AnswerName(buffer, outSize, FALSE, 0, controller->driverKey.bytes ? controller->driverKey : none,
                        controller->driverKeyFault, information);
    default:
      ++sim.counters[SIM_COUNT_OTHER_REQUESTS];
      return STATUS_INVALID_PARAMETER;
  }
}

/* USB_NODE_CONNECTION_INFORMATION: the 35-byte head, then as many of the port's open pipes as
 * fit in the caller's buffer. A buffer without room for the head is refused. */
/* Whether `port`'s device has gone; the first request on it is answered as before. */
static BOOLEAN Gone(const SimPort* port) {
  if (port != sim.vanishing) return FALSE;
  if (sim.vanished) return TRUE;
  sim.vanished = TRUE;
  return FALSE;
}

/* Whether `hub` sits on the port whose device has gone. */
static BOOLEAN HubGone(const SimHub* hub) {
  return sim.vanished && sim.vanishing->attachedHub >= 0 && &sim.hubs[sim.vanishing->attachedHub] == hub;
}

static NTSTATUS AnswerConnection(const SimPort* port, UCHAR* buffer, ULONG outSize, ULONG_PTR* information) {
  ULONG pipes;
  const BOOLEAN gone = Gone(port);
  if (port->flags & SIM_PORT_CONNECTION_INFORMATION_FAILS) return STATUS_UNSUCCESSFUL;
  if (outSize < SIM_CONNECTION_HEAD_SIZE) return STATUS_BUFFER_TOO_SMALL;
  pipes = (outSize - SIM_CONNECTION_HEAD_SIZE) / SIM_PIPE_INFO_SIZE;
  if (pipes > port->pipeCount) pipes = port->pipeCount;
  RtlCopyMemory(buffer, port->connection, SIM_CONNECTION_HEAD_SIZE);
  if (gone) {
    /* No device: everything after ConnectionIndex is 0, NoDeviceConnected included. */
    RtlZeroMemory(buffer + 4, SIM_CONNECTION_HEAD_SIZE - 4);
    pipes = 0;
  }
  RtlCopyMemory(buffer + SIM_CONNECTION_HEAD_SIZE, port->pipes, pipes * SIM_PIPE_INFO_SIZE);
  *information = SIM_CONNECTION_HEAD_SIZE + pipes * SIM_PIPE_INFO_SIZE;
  return STATUS_SUCCESS;
}

static NTSTATUS AnswerHub(const SimHub* hub, ULONG code, UCHAR* buffer, ULONG inSize, ULONG outSize,
                          ULONG_PTR* information) {
  ULONG connectionIndex;
  const SimPort* port;
  static const SimText none = {NULL, 0};
  if (HubGone(hub)) {
    ++sim.counters[SIM_COUNT_OTHER_REQUESTS];
    return STATUS_NO_SUCH_DEVICE;
  }
  switch (code) {
    case SIM_IOCTL_ROOT_HUB_NAME_OR_NODE_INFORMATION:
      ++sim.counters[SIM_COUNT_NODE_INFORMATION];
      if (hub->flags & SIM_HUB_NODE_INFORMATION_FAILS) return STATUS_UNSUCCESSFUL;
      /* The input is the record itself (its NodeType says what is asked), as is the output. */
      if (inSize < SIM_NODE_INFORMATION_SIZE) return STATUS_BUFFER_TOO_SMALL;
      if (sim.personality == SIM_PERSONALITY_STRICT && inSize != SIM_NODE_INFORMATION_SIZE)
        return STATUS_INVALID_BUFFER_SIZE;
      if (outSize < SIM_NODE_INFORMATION_SIZE) return STATUS_BUFFER_TOO_SMALL;
      RtlCopyMemory(buffer, hub->nodeInformation, SIM_NODE_INFORMATION_SIZE);
      *information = SIM_NODE_INFORMATION_SIZE;
      return STATUS_SUCCESS;
    case SIM_IOCTL_NODE_CONNECTION_INFORMATION:
      ++sim.counters[SIM_COUNT_CONNECTION_INFORMATION];
      break;
    case SIM_IOCTL_NODE_CONNECTION_NAME:
      ++sim.counters[SIM_COUNT_CONNECTION_NAME];
      break;
    case SIM_IOCTL_NODE_CONNECTION_DRIVERKEY_NAME:
      ++sim.counters[SIM_COUNT_CONNECTION_DRIVERKEY_NAME];
      break;
    default:
      ++sim.counters[SIM_COUNT_OTHER_REQUESTS];
      return STATUS_INVALID_PARAMETER;
  }
  /* The connection queries name their port (from 1) in the input's ConnectionIndex. */
  if (inSize < 4) return STATUS_INVALID_PARAMETER;
  connectionIndex = (ULONG)buffer[0] | (ULONG)buffer[1] << 8 | (ULONG)buffer[2] << 16 | (ULONG)buffer[3] << 24;
  if (connectionIndex == 0 || connectionIndex > hub->portCount) return STATUS_INVALID_PARAMETER;
  port = &hub->ports[connectionIndex - 1];
  if (sim.personality == SIM_PERSONALITY_STRICT) {
    /* One record both ways: the input is exactly as long as the output. */
    if (inSize != outSize) return STATUS_INVALID_BUFFER_SIZE;
    /* An empty port has no device to name. */
    if ((port->flags & SIM_PORT_EMPTY) && code != SIM_IOCTL_NODE_CONNECTION_INFORMATION) return STATUS_NO_SUCH_DEVICE;
  }
  if (code != SIM_IOCTL_NODE_CONNECTION_INFORMATION && Gone(port)) return STATUS_NO_SUCH_DEVICE;
  switch (code) {
    case SIM_IOCTL_NODE_CONNECTION_INFORMATION:
      return AnswerConnection(port, buffer, outSize, information);
    case SIM_IOCTL_NODE_CONNECTION_NAME:
      /* A port without a hub answers with an empty name. */
      return AnswerName(buffer, outSize, TRUE, connectionIndex,
                        port->attachedHub >= 0 ? sim.hubs[port->attachedHub].name : none, port->hubNameFault,
                        information);
    default:
      return AnswerName(buffer, outSize, TRUE, connectionIndex, port->driverKey, port->driverKeyFault, information);
  }
}

static NTSTATUS Complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static NTSTATUS DispatchCreate(DEVICE_OBJECT* device, IRP* irp) {
  const SimDeviceExtension* ext = device->DeviceExtension;
  /* A device that does not open has no link (see DriverEntry): its create never comes here. */
  if (ext->kind == SIM_HUB && HubGone(&sim.hubs[ext->index])) {
    ++sim.counters[SIM_COUNT_FAILED_OPENS];
    return Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  ++sim.counters[SIM_COUNT_OPENS];
  return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchClose(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE) ++sim.counters[SIM_COUNT_CLOSES];
  return Complete(irp, STATUS_SUCCESS, 0);
}

/* A held request ends only when its caller cancels it (or its handle goes). */
static void CancelHeld(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  ++sim.counters[SIM_COUNT_CANCELLED];
  Complete(irp, STATUS_CANCELLED, 0);
}

/* A hub that never answers: the request stays pending, cancellable, and is never completed. */
static NTSTATUS Hold(IRP* irp) {
  ++sim.counters[SIM_COUNT_HELD];
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, CancelHeld);
  /* Cancelled before the routine was set: nobody else will end it. */
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
    ++sim.counters[SIM_COUNT_CANCELLED];
    Complete(irp, STATUS_CANCELLED, 0);
  }
  return STATUS_PENDING;
}

static NTSTATUS DispatchDeviceControl(DEVICE_OBJECT* device, IRP* irp) {
  const SimDeviceExtension* ext = device->DeviceExtension;
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
  UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
  ULONG_PTR information = 0;
  NTSTATUS status;
  if (buffer == NULL && (inSize || outSize)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (ext->kind == SIM_HUB && (sim.hubs[ext->index].flags & SIM_HUB_NEVER_ANSWERS)) return Hold(irp);
  if (ext->kind == SIM_CONTROLLER)
    status = AnswerController(&sim.controllers[ext->index], code, buffer, outSize, &information);
  else
    status = AnswerHub(&sim.hubs[ext->index], code, buffer, inSize, outSize, &information);
  return Complete(irp, status, information);
}

/* ---- devices ---- */

static void AppendText(WCHAR* out, ULONG* length, const WCHAR* text) {
  while (*text) out[(*length)++] = *text++;
}

static void AppendNumber(WCHAR* out, ULONG* length, ULONG number) {
  WCHAR digits[10];
  int count = 0;
  do {
    digits[count++] = (WCHAR)(L'0' + number % 10);
    number /= 10;
  } while (number);
  while (count) out[(*length)++] = digits[--count];
}

static NTSTATUS MakeDevice(DRIVER_OBJECT* driver, int kind, ULONG index, PDEVICE_OBJECT* device) {
  WCHAR nameBuffer[64];
  ULONG length = 0;
  UNICODE_STRING name;
  NTSTATUS status;
  AppendText(nameBuffer, &length, kind == SIM_CONTROLLER ? L"\\Device\\KeldarSimHcd" : L"\\Device\\KeldarSimHub");
  AppendNumber(nameBuffer, &length, index);
  nameBuffer[length] = 0;
  RtlInitUnicodeString(&name, nameBuffer);
  status = IoCreateDevice(driver, sizeof(SimDeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, device);
  if (!NT_SUCCESS(status)) return status;
  ((SimDeviceExtension*)(*device)->DeviceExtension)->kind = kind;
  ((SimDeviceExtension*)(*device)->DeviceExtension)->index = index;
  (*device)->Flags |= DO_BUFFERED_IO;
  (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* \DosDevices\ + the given UTF-16 text, and the link from it to the device. */
static NTSTATUS MakeLink(UNICODE_STRING* link, const UCHAR* text, ULONG size, PDEVICE_OBJECT device) {
  static const WCHAR prefix[] = L"\\DosDevices\\";
  const ULONG prefixSize = sizeof prefix - sizeof(WCHAR);
  WCHAR targetBuffer[128];
  ULONG length = 0;
  UNICODE_STRING target;
  NTSTATUS status;
  if (prefixSize + size > 0xFFF0) return STATUS_NAME_TOO_LONG;
  link->Buffer = Allocate(prefixSize + size + sizeof(WCHAR));
  if (!link->Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(link->Buffer, prefix, prefixSize);
  RtlCopyMemory((UCHAR*)link->Buffer + prefixSize, text, size);
  link->Length = link->MaximumLength = (USHORT)(prefixSize + size);
  {
    const SimDeviceExtension* ext = device->DeviceExtension;
    AppendText(targetBuffer, &length, ext->kind == SIM_CONTROLLER ? L"\\Device\\KeldarSimHcd" : L"\\Device\\KeldarSimHub");
    AppendNumber(targetBuffer, &length, ext->index);
    targetBuffer[length] = 0;
  }
  RtlInitUnicodeString(&target, targetBuffer);
  status = IoCreateSymbolicLink(link, &target);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(link->Buffer, SIM_POOL_TAG);
    link->Buffer = NULL;
  }
  return status;
}

static void WriteCounters(void) {
  HANDLE key;
  ULONG i;
  if (!NT_SUCCESS(OpenServiceKey(&key))) return;
  for (i = 0; i < SIM_COUNTERS; ++i) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kCounterNames[i]);
    ZwSetValueKey(key, &name, 0, REG_DWORD, &sim.counters[i], sizeof(ULONG));
  }
  ZwClose(key);
}

static void Release(DRIVER_OBJECT* driver) {
  ULONG i;
  for (i = 0; sim.controllers && i < sim.controllerCount; ++i) {
    if (sim.controllers[i].link.Buffer) {
      IoDeleteSymbolicLink(&sim.controllers[i].link);
      ExFreePoolWithTag(sim.controllers[i].link.Buffer, SIM_POOL_TAG);
    }
    if (sim.controllers[i].interfaceLink.Buffer) {
      IoDeleteSymbolicLink(&sim.controllers[i].interfaceLink);
      ExFreePoolWithTag(sim.controllers[i].interfaceLink.Buffer, SIM_POOL_TAG);
    }
  }
  for (i = 0; sim.hubs && i < sim.hubCount; ++i)
    if (sim.hubs[i].link.Buffer) {
      IoDeleteSymbolicLink(&sim.hubs[i].link);
      ExFreePoolWithTag(sim.hubs[i].link.Buffer, SIM_POOL_TAG);
    }
  while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
  if (sim.controllers) ExFreePoolWithTag(sim.controllers, SIM_POOL_TAG);
  if (sim.hubs) ExFreePoolWithTag(sim.hubs, SIM_POOL_TAG);
  if (sim.ports) ExFreePoolWithTag(sim.ports, SIM_POOL_TAG);
  if (sim.image) ExFreePoolWithTag(sim.image, SIM_POOL_TAG);
  sim.controllers = NULL;
  sim.hubs = NULL;
  sim.ports = NULL;
  sim.image = NULL;
}

static void DriverUnload(DRIVER_OBJECT* driver) {
  WriteCounters();
  Release(driver);
  if (sim.serviceKey.Buffer) ExFreePoolWithTag(sim.serviceKey.Buffer, SIM_POOL_TAG);
  sim.serviceKey.Buffer = NULL;
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath) {
  NTSTATUS status;
  ULONG i;
  sim.serviceKey.Buffer = Allocate(registryPath->Length + sizeof(WCHAR));
  if (!sim.serviceKey.Buffer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(sim.serviceKey.Buffer, registryPath->Buffer, registryPath->Length);
  sim.serviceKey.Length = registryPath->Length;
  sim.serviceKey.MaximumLength = registryPath->Length + sizeof(WCHAR);

  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->DriverUnload = DriverUnload;

  sim.personality = ReadServiceDword(L"Personality", SIM_PERSONALITY_DOCUMENTED);
  status = ReadImage();
  if (NT_SUCCESS(status)) status = ParseImage();
  /* The device that vanishes: the first one that is a hub, else the first one at all, in the
   * image's order of hubs and ports. */
  for (i = 0; NT_SUCCESS(status) && sim.personality == SIM_PERSONALITY_VANISHING && i < sim.hubCount; ++i) {
    ULONG p;
    for (p = 0; p < sim.hubs[i].portCount; ++p) {
      SimPort* port = &sim.hubs[i].ports[p];
      if (port->flags & SIM_PORT_EMPTY) continue;
      if (!sim.vanishing || (port->attachedHub >= 0 && sim.vanishing->attachedHub < 0)) sim.vanishing = port;
    }
  }
  /* The hub that hangs: the first external hub, else the first root hub, in the image's
   * order of hubs. */
  if (NT_SUCCESS(status) && sim.personality == SIM_PERSONALITY_HANGING && sim.hubCount > 0) {
    SimHub* hanging = &sim.hubs[0];
    for (i = 0; i < sim.hubCount && hanging == &sim.hubs[0]; ++i) {
      ULONG p;
      for (p = 0; p < sim.hubs[i].portCount; ++p)
        if (sim.hubs[i].ports[p].attachedHub >= 0) {
          hanging = &sim.hubs[sim.hubs[i].ports[p].attachedHub];
          break;
        }
    }
    hanging->flags |= SIM_HUB_NEVER_ANSWERS;
  }
  for (i = 0; NT_SUCCESS(status) && i < sim.controllerCount; ++i) {
    SimController* controller = &sim.controllers[i];
    WCHAR hcd[8];
    ULONG length = 0;
    status = MakeDevice(driver, SIM_CONTROLLER, i, &controller->device);
    /* A controller that does not open has no name to open it by: wine opens a device file
     * before its driver sees the create request and keeps it open whatever the driver answers,
     * so only a missing link fails the open, as ERROR_FILE_NOT_FOUND (what Windows gives for a
     * name nobody serves). */
    if (controller->flags & SIM_CONTROLLER_OPEN_FAILS) continue;
    /* Every controller has its device interface, the path the device database gives out. */
    if (NT_SUCCESS(status) && controller->interfaceName.size > 0)
      status = MakeLink(&controller->interfaceLink, controller->interfaceName.bytes,
                        controller->interfaceName.size, controller->device);
    /* A controller without an HCD number is reachable only through its device interface. */
    if (!NT_SUCCESS(status) || controller->hcdNumber < 0) continue;
    AppendText(hcd, &length, L"HCD");
    AppendNumber(hcd, &length, (ULONG)controller->hcdNumber);
    status = MakeLink(&controller->link, (const UCHAR*)hcd, length * sizeof(WCHAR), controller->device);
  }
  for (i = 0; NT_SUCCESS(status) && i < sim.hubCount; ++i) {
    SimHub* hub = &sim.hubs[i];
    status = MakeDevice(driver, SIM_HUB, i, &hub->device);
    /* A hub without a name can never be opened; nor can one that does not open (as a
     * controller above). */
    if (NT_SUCCESS(status) && hub->name.size > 0 && !(hub->flags & SIM_HUB_OPEN_FAILS)) status = MakeLink(&hub->link, hub->name.bytes, hub->name.size, hub->device);
  }
  if (!NT_SUCCESS(status)) {
    Release(driver);
    ExFreePoolWithTag(sim.serviceKey.Buffer, SIM_POOL_TAG);
    sim.serviceKey.Buffer = NULL;
  }
  return status;
}
