#include "backends/linux/sysfs_scanner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "backends/linux/usbfs.h"
#include "text/text_codec.h"

#if defined(__unix__)
#include <pwd.h>
#include <unistd.h>
#endif
#if defined(__linux__)
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#endif

namespace keldar {

namespace {

namespace fs = std::filesystem;

// The kernel never chains sysfs links this deep; a longer chain is a loop in a hand-made tree.
constexpr int kMaxLinkHops = 40;
// A sysfs text attribute is at most one page.
constexpr std::size_t kAttributeLimit = 4096;
// vhci_hcd makes at most this many controllers (its VHCI_MAX_NR_HCS).
constexpr int kMaxVhciControllers = 128;
// The usbip tool writes a record of at most 100 bytes.
constexpr std::size_t kUsbipRecordLimit = 256;
constexpr std::size_t kDeviceDescriptorSize = sizeof(USB_DEVICE_DESCRIPTOR);
constexpr std::uint8_t kHubClass = 0x09;
constexpr std::uint8_t kHubDescriptorType = 0x29;
constexpr std::uint8_t kSuperSpeedHubDescriptorType = 0x2A;
// bmAttributes of a configuration: the device powers itself rather than drawing from the bus.
constexpr unsigned kSelfPowered = 0x40;

fs::path Join(const fs::path& root, const std::vector<fs::path>& parts) {
  fs::path path = root;
  for (const auto& part : parts) path /= part;
  return path;
}

// Where the link `path` leads. std::filesystem asks the link's size first, with a second lstat.
std::optional<fs::path> ReadLink(const fs::path& path) {
#if defined(__unix__)
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      return fs::path(target);
    }
    target.resize(target.size() * 2);
  }
#else
  std::error_code failure;
  fs::path target = fs::read_symlink(path, failure);
  if (failure) return std::nullopt;
  return target;
#endif
}

// Resolves `relative` below `root` as the kernel would if `root` were mounted at /sys: links
// are followed, a relative target is taken from the link's folder, an absolute one
// ("/sys/devices/...") from the root, and ".." never climbs above the root. The result is
// relative to the root and holds no link. None when a component is missing (the device has
// gone, the link dangles) or the links loop; `*error` then holds the reason when it was not
// simply a missing component (a folder that may not be searched). `plain`, when given, holds
// the places (relative to the root) already found not to be links, and gains those found now:
// a scan looks at each folder on the way once, not once per attribute below it.
std::optional<fs::path> ResolveInside(const fs::path& root, const fs::path& relative,
                                      std::error_code* error = nullptr,
                                      std::unordered_set<std::string>* plain = nullptr) {
  std::vector<fs::path> resolved;
  std::deque<fs::path> pending(relative.begin(), relative.end());
  int hops = 0;
  while (!pending.empty()) {
    const fs::path part = pending.front();
    pending.pop_front();
    if (part.empty() || part == "." || part == "/") continue;
    if (part == "..") {
      if (!resolved.empty()) resolved.pop_back();
      continue;
    }
    const fs::path inside = Join(fs::path(), resolved) / part;
    if (plain != nullptr && plain->count(inside.string()) != 0) {
      resolved.push_back(part);
      continue;
    }
    const fs::path here = root / inside;
    std::error_code failure;
    const fs::file_status status = fs::symlink_status(here, failure);
    if (failure || !fs::exists(status)) {
      if (error != nullptr && failure && failure != std::errc::no_such_file_or_directory &&
          failure != std::errc::not_a_directory)
        *error = failure;
      return std::nullopt;
    }
    if (!fs::is_symlink(status)) {
      if (plain != nullptr) plain->insert(inside.string());
      resolved.push_back(part);
      continue;
    }
    if (++hops > kMaxLinkHops) {
      if (error != nullptr) *error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
      return std::nullopt;
    }
    const auto target = ReadLink(here);
    if (!target) return std::nullopt;
    std::vector<fs::path> parts;
    if (target->is_absolute()) {
      resolved.clear();
      const fs::path inside = target->relative_path();
      parts.assign(inside.begin(), inside.end());
      if (!parts.empty() && parts.front() == "sys") parts.erase(parts.begin());
    } else {
      parts.assign(target->begin(), target->end());
    }
    pending.insert(pending.begin(), parts.begin(), parts.end());
  }
  return Join(fs::path(), resolved);
}

// Every read of the scan: beneath its root, regular files only, never waiting. What could
// not be read for another reason than the device having gone is noted, once per reason.
class Tree {
 public:
  explicit Tree(fs::path root) : root_(std::move(root)) {
#if defined(__linux__)
    rootFd_ = ::open(root_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
  }
  ~Tree() {
#if defined(__linux__)
    if (rootFd_ >= 0) ::close(rootFd_);
#endif
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  const fs::path& Root() const { return root_; }

  // `*missing`, when given, is set when a component is missing (no error noted).
  std::optional<fs::path> Resolve(const fs::path& relative, bool* missing = nullptr) {
    std::error_code error;
    auto resolved = Resolve(relative, error);
    if (!resolved && error) Note(relative, error.message());
    if (missing != nullptr) *missing = !resolved && !error;
    return resolved;
  }

  // The same, the reason handed back rather than noted.
  std::optional<fs::path> Resolve(const fs::path& relative, std::error_code& error) {
    return ResolveInside(root_, relative, &error, &plain_);
  }

  // At most `limit` bytes of the attribute `relative`; none when it cannot be read, with
  // `*missing`, when given, set when that is because it is not there (no warning then). Asked
  // again before Forget, the attribute is not read again: what it held then is what it holds.
  std::optional<std::string> Read(const fs::path& relative, std::size_t limit,
                                  bool* missing = nullptr) {
    auto& known = read_[relative.parent_path().string()];
    const auto [at, added] =
        known.try_emplace(relative.filename().string() + '\0' + std::to_string(limit));
    if (added) at->second.bytes = ReadOnce(relative, limit, at->second.missing);
    if (missing != nullptr) *missing = at->second.missing;
    return at->second.bytes;
  }

  // The attributes read in `dir` will not be asked for again (its device is done).
  void Forget(const fs::path& dir) { read_.erase(dir.string()); }

  // A file outside the tree that could not be looked at (a device node), said as the tree's are.
  void NoteOutside(const std::string& path, int error) { Note(path, ErrnoText(error)); }
  // An attribute that was read but holds what its file never holds, said as the others are.
  void NoteContents(const fs::path& relative, const std::string& reason) { Note(relative, reason); }

  // One line per reason: the first file it struck, and how many more.
  std::vector<std::string> Warnings() const {
    std::vector<std::string> lines;
    for (const auto& [reason, first] : reasons_) {
      std::string line = "sysfs: cannot read " + first.path + " (" + reason + ")";
      if (first.more > 0) line += " nor " + std::to_string(first.more) + " more for that reason";
      lines.push_back(line + "; what could not be read is taken as absent");
    }
    return lines;
  }

 private:
  struct Struck {
    std::string path;
    std::size_t more = 0;
  };

  static std::string ErrnoText(int error) { return std::generic_category().message(error); }

  void Note(const fs::path& relative, const std::string& reason) {
    const auto [at, added] = reasons_.try_emplace(reason, Struck{relative.generic_string()});
    if (!added) ++at->second.more;
  }

  // `missing` is set when the attribute is not there (a kernel without it, a device gone).
  std::optional<std::string> ReadOnce(const fs::path& relative, std::size_t limit,
                                      bool& missing) {
#if defined(__linux__)
    // An attribute is nearly always a plain file in a folder already resolved: opened as it is
    // named, links refused, it needs no look at each folder on the way. A link on the way
    // (ELOOP) or a kernel that cannot refuse them takes the long way, which follows it.
    std::optional<fs::path> resolved = relative;
    int fd = OpenWithoutLinks(relative);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
      missing = true;
      return std::nullopt;
    }
    if (fd < 0 && errno != ELOOP && errno != EXDEV && errno != ENOSYS) {
      Note(relative, ErrnoText(errno));
      return std::nullopt;
    }
    if (fd < 0) {
      resolved = Resolve(relative, &missing);
      if (!resolved) return std::nullopt;
      fd = OpenBeneath(*resolved);
    }
    if (fd < 0) {
      // Gone since it was listed: no warning, the device is simply not there.
      missing = errno == ENOENT;
      if (!missing) Note(*resolved, ErrnoText(errno));
      return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      Note(*resolved, "not a regular file");
      return std::nullopt;
    }
    std::string bytes(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
      const ssize_t n = ::read(fd, bytes.data() + got, limit - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int error = errno;
        ::close(fd);
        missing = error == ENODEV || error == ENOENT;
        if (!missing) Note(*resolved, ErrnoText(error));
        return std::nullopt;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    return bytes;
#else
    const auto resolved = Resolve(relative, &missing);
    if (!resolved) return std::nullopt;
    std::ifstream in(root_ / *resolved, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes(limit, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(limit));
    if (in.bad()) return std::nullopt;
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
#endif
  }

#if defined(__linux__)
  // `relative` holds no link (it was resolved); the open still refuses to leave the root or
  // follow one, should the tree change in between. A FIFO or a device must not block the scan.
  static constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

  int OpenBeneath(const fs::path& relative) {
    const std::string path = relative.empty() ? "." : relative.string();
    const int fd = OpenWithoutLinks(relative);
    if (fd >= 0 || errno != ENOSYS) return fd;
    if (rootFd_ < 0) {
      errno = EBADF;
      return -1;
    }
    // Every component was checked by the resolution; the last may not be a link.
    return ::openat(rootFd_, path.c_str(), kOpenFlags | O_NOFOLLOW);
  }

  // Opens `relative` beneath the root, failing with ELOOP at any link on the way, or with
  // ENOSYS when that cannot be promised (a kernel without openat2, no root to open from).
  int OpenWithoutLinks(const fs::path& relative) {
    const std::string path = relative.empty() ? "." : relative.string();
#if defined(SYS_openat2)
    if (openat2_ && rootFd_ >= 0) {
      struct open_how how {};
      how.flags = static_cast<std::uint64_t>(kOpenFlags);
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
      const long fd = ::syscall(SYS_openat2, rootFd_, path.c_str(), &how, sizeof how);
      if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return static_cast<int>(fd);
      // A kernel before 5.6, or a seccomp filter that does not know the call.
      openat2_ = false;
    }
#endif
    errno = ENOSYS;
    return -1;
  }

  int rootFd_ = -1;
  bool openat2_ = true;
#endif
  fs::path root_;
  std::map<std::string, Struck> reasons_;
  // Folders and files found not to be links, for the resolution.
  std::unordered_set<std::string> plain_;
  // What Read found, per folder and then per attribute and limit, until the folder is forgotten.
  struct Attribute {
    std::optional<std::string> bytes;
    bool missing = false;
  };
  std::unordered_map<std::string, std::map<std::string, Attribute>> read_;
};

// A folder of the tree, relative to its root.
struct Dir {
  Tree& tree;
  fs::path path;
  Dir Parent() const { return {tree, path.parent_path()}; }
};

// At most `limit` bytes of an attribute; none when it cannot be opened, which in sysfs means
// that the device has gone.
std::optional<std::string> ReadBytes(const Dir& dir, const char* name, std::size_t limit,
                                     bool* missing = nullptr) {
  return dir.tree.Read(dir.path / name, limit, missing);
}

// The kernel ends every text attribute with a line break; a hand-made tree may not.
std::optional<std::string> ReadText(const Dir& dir, const char* name, bool* missing = nullptr) {
  auto text = ReadBytes(dir, name, kAttributeLimit, missing);
  if (!text) return std::nullopt;
  if (const auto nul = text->find('\0'); nul != std::string::npos) text->resize(nul);
  if (!text->empty() && text->back() == '\n') text->pop_back();
  return text;
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

std::optional<std::uint64_t> ParseNumber(std::string_view text, int base, std::uint64_t max) {
  text = Trim(text);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max)
    return std::nullopt;
  return value;
}

// A numeric attribute. The kernel pads some with blanks (" 2.00", "%2x"); an empty one means
// "not configured"; anything that does not parse, or exceeds its field, is treated as absent.
std::optional<std::uint64_t> ReadNumber(const Dir& dir, const char* name, int base,
                                        std::uint64_t max) {
  const auto text = ReadText(dir, name);
  if (!text) return std::nullopt;
  return ParseNumber(*text, base, max);
}

// An attribute a key's verdict goes by: a decimal number up to `max`. `value` is none when
// the file is missing (a kernel without that attribute, or a device that has gone) or, where
// `emptyIsNone`, empty; `unread` when it is there and cannot be read, or holds anything else:
// the verdict must not guess it. What it held is noted with `malformed`, naming the file.
struct Fact {
  std::optional<std::uint64_t> value;
  bool unread = false;
};
Fact ReadFact(const Dir& dir, const char* name, std::uint64_t max, bool emptyIsNone,
              const char* malformed) {
  bool missing = false;
  const auto text = ReadText(dir, name, &missing);
  if (!text) return {std::nullopt, !missing};
  if (emptyIsNone && Trim(*text).empty()) return {};
  const auto value = ParseNumber(*text, 10, max);
  if (!value) dir.tree.NoteContents(dir.path / name, malformed);
  return {value, !value};
}

template <typename Field>
void Assign(Field& field, std::optional<std::uint64_t> value) {
  if (value) field = static_cast<Field>(*value);
}

// A string attribute as the model holds it: UTF-8 (the kernel converts string descriptors to
// it; bytes that are not UTF-8 become U+FFFD). Empty or missing: none.
std::optional<std::string> CleanName(std::optional<std::string> name) {
  if (!name || name->empty()) return std::nullopt;
  return CleanUtf8(*name);
}

std::optional<std::string> ReadName(const Dir& dir, const char* name) {
  return CleanName(ReadText(dir, name));
}

// `descriptors` starts with the device descriptor as the device sent it: the record's own
// layout (little-endian, packed), as the hub descriptor below.
model::DeviceDescriptor ParseDeviceDescriptor(const std::string& bytes) {
  USB_DEVICE_DESCRIPTOR wire{};
  std::memcpy(&wire, bytes.data(), std::min(bytes.size(), sizeof wire));
  return model::FromRecord(wire);
}

// `version` is bcdUSB printed as "%2x.%02x".
std::optional<std::uint64_t> ReadVersion(const Dir& dir) {
  const auto text = ReadText(dir, "version");
  if (!text) return std::nullopt;
  const std::string_view version = Trim(*text);
  const auto dot = version.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const auto major = ParseNumber(version.substr(0, dot), 16, 0xFF);
  const auto minor = ParseNumber(version.substr(dot + 1), 16, 0xFF);
  if (!major || !minor) return std::nullopt;
  return *major << 8 | *minor;
}

// The device descriptor from the single-field attributes the kernel also exports, for a
// `descriptors` that is cut short. None when not even the IDs are there: the device has gone.
std::optional<model::DeviceDescriptor> DescriptorFromAttributes(const Dir& dir) {
  const auto vendor = ReadNumber(dir, "idVendor", 16, 0xFFFF);
  const auto product = ReadNumber(dir, "idProduct", 16, 0xFFFF);
  if (!vendor && !product) return std::nullopt;
  model::DeviceDescriptor descriptor;
  Assign(descriptor.idVendor, vendor);
  Assign(descriptor.idProduct, product);
  Assign(descriptor.bcdUSB, ReadVersion(dir));
  Assign(descriptor.bcdDevice, ReadNumber(dir, "bcdDevice", 16, 0xFFFF));
  Assign(descriptor.bDeviceClass, ReadNumber(dir, "bDeviceClass", 16, 0xFF));
  Assign(descriptor.bDeviceSubClass, ReadNumber(dir, "bDeviceSubClass", 16, 0xFF));
  Assign(descriptor.bDeviceProtocol, ReadNumber(dir, "bDeviceProtocol", 16, 0xFF));
  Assign(descriptor.bMaxPacketSize0, ReadNumber(dir, "bMaxPacketSize0", 10, 0xFF));
  Assign(descriptor.bNumConfigurations, ReadNumber(dir, "bNumConfigurations", 10, 0xFF));
  return descriptor;
}

// A SuperSpeed hub (5000 Mbit/s and up, the USB 3 root hubs among them) has a descriptor type of
// its own, and answers only for that type.
bool IsSuperSpeed(const Dir& dir) {
  const auto text = ReadText(dir, "speed");
  const auto megabits = text ? ParseNumber(*text, 10, UINT32_MAX) : std::nullopt;
  return megabits && *megabits >= 5000;
}

// The fields of the hub descriptor that sysfs does not carry, asked of the hub itself.
bool ReadHubDescriptorFromUsbfs(const std::string& usbfsRoot, const Dir& dir,
                                model::HubDescriptor& descriptor) {
  const auto bus = ReadNumber(dir, "busnum", 10, 999);
  const auto address = ReadNumber(dir, "devnum", 10, 999);
  const auto dev = ReadText(dir, "dev");
  if (!bus || !address || !dev) return false;
  const auto colon = dev->find(':');
  if (colon == std::string::npos) return false;
  const auto major = ParseNumber(std::string_view(*dev).substr(0, colon), 10, 0xFFF);
  const auto minor = ParseNumber(std::string_view(*dev).substr(colon + 1), 10, 0xFFFFF);
  if (!major || !minor) return false;
  // A SuperSpeed hub answers only for its own descriptor type.
  const std::uint8_t type = IsSuperSpeed(dir) ? kSuperSpeedHubDescriptorType : kHubDescriptorType;
  const UsbfsDevice device{usbfsRoot, static_cast<unsigned>(*bus), static_cast<unsigned>(*address),
                           static_cast<unsigned>(*major), static_cast<unsigned>(*minor)};
  const auto data = AskHubDescriptor(device, type);
  // The seven fixed bytes at least; the port count stays what sysfs says (maxchild).
  if (!data || data->size() < offsetof(USB_HUB_DESCRIPTOR, bRemoveAndPowerMask) ||
      (*data)[1] != type)
    return false;
  // The record keeps the descriptor's own layout (little-endian, packed).
  USB_HUB_DESCRIPTOR wire{};
  std::memcpy(&wire, data->data(), std::min(data->size(), sizeof wire));
  const std::uint8_t ports = descriptor.bNumberOfPorts;
  descriptor = model::FromRecord(wire);
  descriptor.bNumberOfPorts = ports;
  return true;
}

class Scanner {
 public:
  Scanner(const fs::path& root, const SysfsScanOptions& options)
      : tree_(root), options_(options) {}

  // The names listed in bus/usb/devices, interfaces ("1-0:1.0") left out.
  void ListDevices(const std::string& rootText) {
    std::error_code error;
    const auto devices = tree_.Resolve("bus/usb/devices", error);
    if (error)
      throw SysfsError("\"" + rootText + "\" cannot be read: " + error.message() +
                       " (on the way to its bus/usb/devices directory)");
    // Listing it tells whether it is a folder.
    fs::directory_iterator it;
    if (devices) it = fs::directory_iterator(tree_.Root() / *devices, error);
    if (!devices || error == std::errc::not_a_directory)
      throw SysfsError("\"" + rootText +
                       "\" is not a sysfs tree with USB support: it has no bus/usb/devices "
                       "directory");
    if (error)
      throw SysfsError("\"" + rootText + "/bus/usb/devices\" cannot be listed: " +
                       error.message());
    for (; it != fs::directory_iterator(); it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (name.find(':') == std::string::npos) names_.insert(name);
    }
    if (error)
      throw SysfsError("\"" + rootText + "/bus/usb/devices\" cannot be listed: " +
                       error.message());
  }

  std::vector<model::Controller> ReadControllers() {
    // Root hubs in bus-number order: usb2 before usb10. The kernel writes the number without
    // leading zeros; "usb01" beside "usb1" would be a second root hub of bus 1, whose devices
    // are the first one's.
    std::vector<std::pair<std::uint64_t, std::string>> rootHubs;
    for (const auto& name : names_) {
      if (name.rfind("usb", 0) != 0) continue;
      const std::string_view digits = std::string_view(name).substr(3);
      if (digits.empty() || (digits.size() > 1 && digits[0] == '0') ||
          !std::all_of(digits.begin(), digits.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        continue;
      if (const auto bus = ParseNumber(digits, 10, UINT32_MAX)) rootHubs.emplace_back(*bus, name);
    }
    std::sort(rootHubs.begin(), rootHubs.end());

    std::vector<model::Controller> controllers;
    std::set<std::string> driverKeys;
    for (const auto& [bus, name] : rootHubs) {
      const auto dir = Resolve(name);
      // The controller is the root hub's parent device, which must be inside the tree too.
      if (!dir || dir->path.parent_path().empty()) continue;
      const Dir parent = dir->Parent();
      model::Controller controller;
      // Windows has one controller per driver key, and past the HCD links the walk takes a
      // key it has seen for a controller it has already opened. One parent device can carry
      // several root hubs (an xHCI controller has a USB 2 and a USB 3 one): the first keeps
      // the parent's name, any other is told apart by the root hub's path below the parent.
      controller.driverKey = parent.path.filename().string();
      if (!driverKeys.insert(controller.driverKey).second) {
        controller.driverKey += "/" + name;
        driverKeys.insert(controller.driverKey);
      }
      const auto modalias = ReadText(parent, "modalias");
      if (modalias && !modalias->empty()) controller.friendlyName = ModelName(*modalias);
      if (!controller.friendlyName) controller.friendlyName = ReadName(*dir, "product");
      controller.rootHub = ReadHub(name, *dir, std::to_string(bus) + "-", 0);
      if (modalias && Trim(*modalias) == "platform:vhci_hcd")
        ReadUsbipAttachments(parent, *controller.rootHub);
      // The controller's own, read again for its other root hub, stay.
      tree_.Forget(dir->path);
      controllers.push_back(std::move(controller));
    }
    return controllers;
  }

  std::vector<std::string> Warnings() const { return tree_.Warnings(); }

  // The SMBIOS system names as the kernel shows them (DMI): "QEMU", "VMware, Inc.", ... None
  // where the machine has no DMI or a copied tree left it out.
  model::Environment ReadEnvironment() {
    const Dir dmi{tree_, "class/dmi/id"};
    model::Environment environment;
    environment.systemManufacturer = ReadName(dmi, "sys_vendor");
    environment.systemProductName = ReadName(dmi, "product_name");
    return environment;
  }

 private:
  // The devices on a root hub of USB/IP's virtual host controller are plugged into another
  // machine. vhci_hcd.0 carries the status files of every such controller ("status", then
  // "status.1", ...), one line per port with the local bus ID of the device attached there:
  //   hub port sta spd dev      sockfd local_busid
  //   hs  0000 006 002 00010002 000004 2-1
  // The usbip tool records the server, its port and the device's bus ID there, per port
  // number, in <usbipStateRoot>/port<n> ("127.0.0.1 3240 1-1\n"): root's alone to read, so a
  // plain user learns the transport and not the server.
  void ReadUsbipAttachments(const Dir& controller, model::Hub& rootHub) {
    const Dir first{controller.tree, controller.path.parent_path() / "vhci_hcd.0"};
    std::map<std::string, std::uint64_t> ports;  // local bus ID -> port number
    for (int n = 0; n < kMaxVhciControllers; ++n) {
      const std::string file = n == 0 ? "status" : "status." + std::to_string(n);
      const auto text = ReadText(first, file.c_str());
      if (!text) break;
      std::istringstream lines(*text);
      std::string line;
      while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string hub, port, state, speed, devid, sockfd, busId;
        if (!(fields >> hub >> port >> state >> speed >> devid >> sockfd >> busId)) continue;
        if (const auto number = ParseNumber(port, 10, 0xFFFF)) ports.emplace(busId, *number);
      }
    }
    for (model::Port& port : rootHub.ports) {
      if (!port.device) continue;
      model::UsbipAttachment attachment;
      const auto found = ports.find(port.device->driverKey.value_or(""));
      if (found != ports.end() && !options_.usbipStateRoot.empty())
        ReadUsbipRecord(options_.usbipStateRoot + "/port" + std::to_string(found->second),
                        attachment);
      port.device->usbip = std::move(attachment);
    }
  }

  // A record that is missing or unreadable (a plain user) leaves the fields unknown: no warning.
  // Only a plain file: a FIFO put there would hold the scan.
  static void ReadUsbipRecord(const std::string& path, model::UsbipAttachment& attachment) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return;
    std::ifstream in(path, std::ios::binary);
    std::string line(kUsbipRecordLimit, '\0');
    if (!in.read(line.data(), static_cast<std::streamsize>(line.size())) && in.gcount() == 0)
      return;
    line.resize(static_cast<std::size_t>(in.gcount()));
    line = line.substr(0, line.find('\n'));
    std::istringstream fields(line);
    std::string server, serverPort, busId;
    if (!(fields >> server >> serverPort >> busId)) return;
    attachment.server = CleanUtf8(server);
    attachment.serverPort = CleanUtf8(serverPort);
    attachment.remoteBusId = CleanUtf8(busId);
  }

  std::optional<Dir> Resolve(const std::string& name) {
    auto path = tree_.Resolve(fs::path("bus/usb/devices") / name);
    if (!path) return std::nullopt;
    return Dir{tree_, std::move(*path)};
  }

  std::optional<std::string> ModelName(const std::string& key) const {
    if (!options_.modelNames) return std::nullopt;
    return CleanName(options_.modelNames(key));
  }

  // A hub's ports are its children named `childPrefix` + port number ("1-" under usb1, "1-2."
  // under 1-2). Ports without a readable child stay unlisted: empty. A hub chained deeper than
  // a topology file may hold (`nesting` external hubs below its root hub) keeps its ports
  // unlisted: the walk never reaches them, and the recording must stay readable.
  std::unique_ptr<model::Hub> ReadHub(const std::string& name, const Dir& dir,
                                      const std::string& childPrefix, int nesting) {
    auto hub = std::make_unique<model::Hub>();
    hub->name = name;
    // What sysfs implies; the rest of the hub descriptor is not in sysfs.
    hub->descriptor.bDescriptorLength = 0;
    hub->descriptor.bDescriptorType =
        IsSuperSpeed(dir) ? kSuperSpeedHubDescriptorType : kHubDescriptorType;
    Assign(hub->descriptor.bNumberOfPorts, ReadNumber(dir, "maxchild", 10, 0xFF));
    const auto attributes = ReadNumber(dir, "bmAttributes", 16, 0xFF);
    hub->busPowered = attributes && (*attributes & kSelfPowered) == 0;
    if (!options_.usbfsRoot.empty())
      ReadHubDescriptorFromUsbfs(options_.usbfsRoot, dir, hub->descriptor);
    if (nesting >= model::kMaxHubNesting) return hub;

    for (int number = 1; number <= hub->descriptor.bNumberOfPorts; ++number) {
      const std::string childName = childPrefix + std::to_string(number);
      if (names_.count(childName) == 0) continue;
      const auto childDir = Resolve(childName);
      if (!childDir) continue;
      auto device = ReadDevice(childName, *childDir, nesting);
      if (!device) continue;
      model::Port port;
      port.port = number;
      port.device = std::move(device);
      hub->ports.push_back(std::move(port));
    }
    return hub;
  }

  std::unique_ptr<model::Device> ReadDevice(const std::string& name, const Dir& dir,
                                            int nesting) {
    const auto raw = ReadBytes(dir, "descriptors", kDeviceDescriptorSize);
    if (!raw) return nullptr;  // the device has gone since bus/usb/devices was listed
    auto device = std::make_unique<model::Device>();
    if (raw->size() == kDeviceDescriptorSize) {
      device->descriptor = ParseDeviceDescriptor(*raw);
    } else if (const auto descriptor = DescriptorFromAttributes(dir)) {
      device->descriptor = *descriptor;
    } else {
      return nullptr;
    }
    // The kernel's only fractional speed: 1.5 Mbit/s, low speed.
    const auto speed = ReadText(dir, "speed");
    device->lowSpeed = speed && Trim(*speed) == "1.5";
    Assign(device->deviceAddress, ReadNumber(dir, "devnum", 10, 0xFFFF));
    // "1"; empty while the device has no active configuration.
    const Fact configuration =
        ReadFact(dir, "bConfigurationValue", 0xFF, true, "not a configuration number");
    Assign(device->currentConfigurationValue, configuration.value);
    // The sysfs name is the port path from the root hub: stable across plugging, unique.
    device->driverKey = name;
    char key[32];
    std::snprintf(key, sizeof key, "usb:v%04Xp%04X*", device->descriptor.idVendor,
                  device->descriptor.idProduct);
    device->friendlyName = ModelName(key);
    if (!device->friendlyName) device->friendlyName = ReadName(dir, "product");
    if (device->descriptor.bDeviceClass == kHubClass)
      device->hub = ReadHub(name, dir, name + ".", nesting + 1);
    device->linuxState =
        ReadLinuxState(name, dir, device->deviceAddress, device->currentConfigurationValue);
    if (configuration.unread) device->linuxState->unread.emplace_back("bConfigurationValue");
    // Its attributes are each read once however many parts of the walk ask (speed, devnum,
    // busnum); kept no longer, a large tree is not held in memory.
    tree_.Forget(dir.path);
    return device;
  }

  // Whether a program can use the device: the device policy's answer, the interfaces'
  // drivers, and the usbfs node a program opens it through.
  model::LinuxState ReadLinuxState(const std::string& name, const Dir& dir,
                                   std::uint16_t address, std::uint8_t configuration) {
    model::LinuxState state;
    // "1" or "0". A kernel without device authorization has no such file and authorizes
    // every device; a file that says neither leaves the answer unknown.
    const Fact authorized = ReadFact(dir, "authorized", 1, false, "neither 0 nor 1");
    state.authorized = authorized.value.value_or(1) != 0;
    if (authorized.unread) state.unread.emplace_back("authorized");
    // The device's own driver link, as the interfaces' below: only inside the tree.
    if (const auto driver = tree_.Resolve(dir.path / "driver"))
      state.deviceDriver = CleanUtf8(driver->filename().string());
    // The active configuration's interfaces are the folders "<name>:<configuration>.<n>".
    std::vector<std::pair<std::uint64_t, std::string>> interfaces;
    std::error_code error;
    for (fs::directory_iterator it(tree_.Root() / dir.path, error), end; !error && it != end;
         it.increment(error)) {
      const std::string entry = it->path().filename().string();
      // Only the active configuration's, and each number once: a copied or made-up tree may
      // hold anything, and what the scan writes must read back.
      const std::string prefix = name + ":" + std::to_string(configuration) + ".";
      if (configuration == 0 || entry.rfind(prefix, 0) != 0) continue;
      if (const auto number = ParseNumber(std::string_view(entry).substr(prefix.size()), 10, 0xFE))
        interfaces.emplace_back(*number, entry);
    }
    std::sort(interfaces.begin(), interfaces.end());
    interfaces.erase(std::unique(interfaces.begin(), interfaces.end(),
                                 [](const auto& a, const auto& b) { return a.first == b.first; }),
                     interfaces.end());
    for (const auto& [number, entry] : interfaces) {
      // The driver link leads to bus/usb/drivers/<driver>; only inside the tree.
      const auto driver = tree_.Resolve(dir.path / entry / "driver");
      state.interfaceDrivers.push_back(driver ? CleanUtf8(driver->filename().string()) : "");
    }
#if defined(__linux__)
    const auto bus = ReadNumber(dir, "busnum", 10, 999);
    if (options_.usbfsRoot.empty() || !bus || address == 0 || address > 999) return state;
    char relative[16];
    std::snprintf(relative, sizeof relative, "/%03u/%03u", static_cast<unsigned>(*bus),
                  static_cast<unsigned>(address));
    const std::string path = options_.usbfsRoot + relative;
    // Looked at, never opened: a device node must not hold the scan.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
      // Gone since it was listed: no warning, as for the tree's own files.
      if (errno != ENOENT) tree_.NoteOutside(path, errno);
      return state;
    }
    model::UsbfsNode node;
    node.path = CleanUtf8(path);
    node.uid = info.st_uid;
    node.gid = info.st_gid;
    node.mode = info.st_mode;
    // A program of this user opens it with the real IDs, a set-ID program with the effective.
    node.openable = ::access(path.c_str(), R_OK | W_OK) == 0 &&
                    ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
    node.user = UserName();
    state.node = std::move(node);
#else
    (void)address;
#endif
    return state;
  }

#if defined(__linux__)
  // The scanning user's name, or "uid <n>" when the user database does not know it.
  const std::string& UserName() {
    if (user_.empty()) {
      const uid_t uid = ::getuid();
      const passwd* entry = ::getpwuid(uid);
      user_ = entry != nullptr && entry->pw_name != nullptr && entry->pw_name[0] != '\0'
                  ? CleanUtf8(entry->pw_name)
                  : "uid " + std::to_string(uid);
    }
    return user_;
  }
  std::string user_;
#endif

  Tree tree_;
  const SysfsScanOptions& options_;
  std::set<std::string> names_;
};

std::optional<std::string> HostName() {
#if defined(__unix__)
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
  return std::string(name);
#else
  return std::nullopt;
#endif
}

}  // namespace

model::UsbModel ScanSysfs(const std::string& sysfsRoot) {
  SysfsScanOptions options;
  options.modelNames = HardwareDatabaseLookup();
  // Only the live tree describes the devices that usbfs reaches.
  std::error_code error;
  if (fs::equivalent(sysfsRoot, "/sys", error) && !error) {
    options.usbfsRoot = "/dev/bus/usb";
    options.usbipStateRoot = "/var/run/vhci_hcd";
  }
  return ScanSysfs(sysfsRoot, options);
}

model::UsbModel ScanSysfs(const std::string& sysfsRoot, const SysfsScanOptions& options) {
  const fs::path root(sysfsRoot);
  std::error_code error;
  const fs::file_status status = fs::status(root, error);
  if (!fs::exists(status)) {
    if (error && error != std::errc::no_such_file_or_directory &&
        error != std::errc::not_a_directory)
      throw SysfsError("\"" + sysfsRoot + "\" cannot be read: " + error.message());
    throw SysfsError("\"" + sysfsRoot + "\" does not exist");
  }
  if (!fs::is_directory(status)) throw SysfsError("\"" + sysfsRoot + "\" is not a directory");

  Scanner scanner(root, options);
  scanner.ListDevices(sysfsRoot);
  model::UsbModel model;
  model.computerName = HostName();
  // The texts reach the access layer as a Chinese Windows would hand them on.
  model.ansiCodePage = 936;
  model.controllers = scanner.ReadControllers();
  model.driverKeysArePorts = true;
  model.environment = scanner.ReadEnvironment();
  model.warnings = scanner.Warnings();
  return model;
}

}  // namespace keldar
