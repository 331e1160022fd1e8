/* The machine image: the compact form of a topology that the simulated USB driver reads at
 * start. Written by keldar_usbsim (usbsim_tool.cpp), read by usbsim.c; both include this file.
 *
 * Every number is a little-endian 32-bit word; a text is its size in bytes followed by that
 * many bytes of UTF-16LE (no terminator); records are prebuilt in the hub driver's published
 * layouts, so the driver only copies them.
 *
 *   magic, version, controller count, hub count, port count (all hubs together)
 *   per controller: HCD number (-1: no \DosDevices\HCDn link), flags, driver-key name fault,
 *                   root-hub-name fault, root hub (hub index, -1: the root hub name query fails),
 *                   text driver key, text device-interface link name (after \DosDevices\)
 *   per hub:        flags, text name (empty: no link), the 76-byte USB_NODE_INFORMATION,
 *                   port count (= bNumberOfPorts), then per port 1..count:
 *                   flags, driver-key name fault, hub-name fault, attached hub (hub index or -1),
 *                   the 35-byte head of USB_NODE_CONNECTION_INFORMATION, pipe count, that many
 *                   11-byte USB_PIPE_INFO entries, text driver key
 */
#ifndef KELDAR_USBSIM_IMAGE_H
#define KELDAR_USBSIM_IMAGE_H

#define SIM_IMAGE_MAGIC 0x4D49534Bu /* "KSIM" */
#define SIM_IMAGE_VERSION 2u

#define SIM_NODE_INFORMATION_SIZE 76u
#define SIM_CONNECTION_HEAD_SIZE 35u
#define SIM_PIPE_INFO_SIZE 11u

#define SIM_CONTROLLER_OPEN_FAILS 1u
#define SIM_HUB_OPEN_FAILS 1u
#define SIM_HUB_NODE_INFORMATION_FAILS 2u
#define SIM_HUB_NEVER_ANSWERS 4u /* its requests stay pending until cancelled */
#define SIM_PORT_CONNECTION_INFORMATION_FAILS 1u
#define SIM_PORT_EMPTY 2u /* no device on the port */

/* How the hub driver behaves (the service key's value Personality, set by scripts/usbsim). */
#define SIM_PERSONALITY_DOCUMENTED 0u
#define SIM_PERSONALITY_STRICT 1u
#define SIM_PERSONALITY_VANISHING 2u
#define SIM_PERSONALITY_HANGING 3u

/* How a name query misbehaves; the same faults as a topology file's name faults. */
#define SIM_FAULT_NONE 0u
#define SIM_FAULT_PROBE_FAILS 1u     /* fails while the buffer is smaller than the reply */
#define SIM_FAULT_ABSURD_LENGTH 2u   /* announces SIM_ABSURD_LENGTH */
#define SIM_FAULT_FETCH_FAILS 3u     /* fails once the buffer holds the reply */
#define SIM_FAULT_BARE_HEADER 4u     /* an empty name */
#define SIM_FAULT_SHORT_LENGTH 5u    /* ActualLength is the header alone */
#define SIM_FAULT_ODD_LENGTH 6u      /* ActualLength is odd: the 0 unit does not fit */
#define SIM_FAULT_NO_TERMINATOR 7u   /* the text fills ActualLength without its 0 unit */

#define SIM_ABSURD_LENGTH 0x7FFFFFF0u

#endif
