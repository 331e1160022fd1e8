/* Exports a USB device with usbip-host and attaches it again through vhci_hcd on the same
 * machine, over a TCP connection on the loopback interface: what `usbip bind` on a key server
 * and `usbip attach` on a client do, without the daemon. The usbip daemon's OP_REQ_IMPORT
 * exchange only tells the client the device's bus ID, speed and devid; here both ends are on one
 * machine and read them from sysfs, then hand the connected sockets to the kernel, which speaks
 * the URB protocol over them from then on.
 *
 *   usbip-loopback BUSID      e.g. usbip-loopback 1-1
 *
 * Like the usbip tool, it records the server's address, port and the remote bus ID for the
 * attached port under /var/run/vhci_hcd/ (root only). Built statically by scripts/kernel-usb
 * for the guest; it runs as root there and exits once the kernel holds both sockets. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#define USBIP_PORT 3240 /* the usbip daemon's registered port */
#define VHCI "/sys/devices/platform/vhci_hcd.0"

static void die(const char *what, const char *detail) {
  fprintf(stderr, "usbip-loopback: %s %s: %s\n", what, detail, strerror(errno));
  exit(1);
}

static void put(const char *path, const char *text) {
  int fd = open(path, O_WRONLY);
  if (fd < 0) die("open", path);
  if (write(fd, text, strlen(text)) < 0) die("write", path);
  close(fd);
}

static void get(const char *busid, const char *name, char *text, size_t size) {
  char path[256];
  snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/%s", busid, name);
  FILE *file = fopen(path, "r");
  if (!file || !fgets(text, (int)size, file)) die("read", path);
  fclose(file);
  text[strcspn(text, "\n")] = '\0';
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: usbip-loopback BUSID\n");
    return 2;
  }
  const char *busid = argv[1];
  char path[256], text[128];

  /* The loopback interface comes up with 127.0.0.1 once it is set up. */
  int control = socket(AF_INET, SOCK_DGRAM, 0);
  struct ifreq request;
  memset(&request, 0, sizeof request);
  strcpy(request.ifr_name, "lo");
  if (control < 0 || ioctl(control, SIOCGIFFLAGS, &request) < 0) die("flags of", "lo");
  request.ifr_flags |= IFF_UP;
  if (ioctl(control, SIOCSIFFLAGS, &request) < 0) die("bring up", "lo");
  close(control);

  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(USBIP_PORT);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0 || bind(listener, (struct sockaddr *)&address, sizeof address) < 0 ||
      listen(listener, 1) < 0)
    die("listen on", "127.0.0.1:3240");
  int client = socket(AF_INET, SOCK_STREAM, 0);
  if (client < 0 || connect(client, (struct sockaddr *)&address, sizeof address) < 0)
    die("connect to", "127.0.0.1:3240");
  int server = accept(listener, NULL, NULL);
  if (server < 0) die("accept on", "127.0.0.1:3240");

  /* The server's side, as `usbip bind`: usbip-host claims the bus ID, the device leaves its
   * driver and usbip-host binds it; the kernel then serves it on the accepted socket. */
  snprintf(text, sizeof text, "add %s", busid);
  put("/sys/bus/usb/drivers/usbip-host/match_busid", text);
  snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/driver/unbind", busid);
  put(path, busid);
  put("/sys/bus/usb/drivers/usbip-host/bind", busid);

  char busnum[16], devnum[16], speed[16];
  get(busid, "busnum", busnum, sizeof busnum);
  get(busid, "devnum", devnum, sizeof devnum);
  get(busid, "speed", speed, sizeof speed);
  snprintf(path, sizeof path, "/sys/bus/usb/devices/%s/usbip_sockfd", busid);
  snprintf(text, sizeof text, "%d", server);
  put(path, text);

  /* The client's side, as `usbip attach`: "port sockfd devid speed", the speed being the
   * kernel's enum usb_device_speed, the port a free one (status 004) of the controller's hub of
   * that speed: its status file lists "hs" and "ss" ports, as many as the kernel was built with. */
  int usb_speed = strcmp(speed, "1.5") == 0 ? 1 : strcmp(speed, "12") == 0 ? 2
                  : strcmp(speed, "480") == 0 ? 3 : 5;
  FILE *status = fopen(VHCI "/status", "r");
  if (!status) die("read", VHCI "/status");
  int port = -1, number, state;
  char hub[8], line[256];
  while (port < 0 && fgets(line, sizeof line, status))
    if (sscanf(line, "%7s %d %d", hub, &number, &state) == 3 && state == 4 &&
        strcmp(hub, usb_speed == 5 ? "ss" : "hs") == 0)
      port = number;
  fclose(status);
  if (port < 0) {
    fprintf(stderr, "usbip-loopback: no free port in %s/status\n", VHCI);
    return 1;
  }
  unsigned devid = ((unsigned)atoi(busnum) << 16) | (unsigned)atoi(devnum);
  snprintf(text, sizeof text, "%d %d %u %d", port, client, devid, usb_speed);
  put(VHCI "/attach", text);

  /* What the usbip tool records per attached port, for `usbip port` to show the remote end. */
  mkdir("/var", 0755);
  mkdir("/var/run", 0755);
  mkdir("/var/run/vhci_hcd", 0700);
  snprintf(path, sizeof path, "/var/run/vhci_hcd/port%d", port);
  FILE *record = fopen(path, "w");
  if (!record) die("write", path);
  fprintf(record, "127.0.0.1 %d %s\n", USBIP_PORT, busid);
  fclose(record);
  return 0;
}
