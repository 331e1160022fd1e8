#include "cli/source.h"

#include <cstdint>
#include <exception>
#include <map>
#include <new>
#include <optional>
#include <utility>

#include "detect/report.h"
#include "model/topology_file.h"
#include "text/text_codec.h"
#include "text/utf8.h"
#include "backends/linux/sysfs_scanner.h"
#include "backends/model/model_platform.h"

namespace keldar::cli {

std::string Source::Name() const {
  switch (kind) {
    case Demo: return "demo";
    case Topology: return "topology:" + path;
    case Sysfs: return "sysfs:" + path;
    case Live: break;
  }
  return "live";
}

std::string Source::Describe() const {
  switch (kind) {
    case Demo: return "the demo topology";
    case Topology:
    case Sysfs: return path;
    case Live: break;
  }
  return "live USB";
}

Detected DetectOnPlatform(Platform& platform, unsigned codePage, const std::string& source,
                          std::ostream& err, bool readKeyStates) {
  DWORD computerNameError = 0;
  Detected detected{
      RunDetection(platform, codePage, source, &computerNameError, readKeyStates), kExitDetected};
  if (!detected.report) {
    err << "keldar: the computer name is not available (error " << computerNameError << ")\n";
    detected.status = kExitFailure;
    return detected;
  }
  // The facts carry texts as UTF-8, as a topology file does.
  for (KeySighting& key : detected.report->keys)
    if (key.facts.windows && key.facts.windows->service)
      key.facts.windows->service = AnsiToUtf8(*key.facts.windows->service, codePage);
  detected.report->environment = ReadEnvironment(platform);
  return detected;
}

namespace {

// A device whose driver is not installed has no driver key; it is known by its vendor and
// product ID instead, when no other such device has the same.
std::string IdsOf(std::uint16_t vendorId, std::uint16_t productId) {
  return std::to_string(vendorId) + ":" + std::to_string(productId);
}

void IndexDevices(const model::Hub& hub, unsigned codePage,
                  std::map<std::string, const model::Device*>& byKey,
                  std::map<std::string, const model::Device*>& keylessByIds) {
  for (const model::Port& port : hub.ports) {
    const model::Device* device = port.device.get();
    if (device == nullptr) continue;
    // A driver key (or IDs) that two devices share names neither: their keys stay without facts.
    const auto [at, added] =
        device->driverKey
            ? byKey.try_emplace(Utf8ToAnsi(*device->driverKey, codePage), device)
            : keylessByIds.try_emplace(
                  IdsOf(device->descriptor.idVendor, device->descriptor.idProduct), device);
    if (!added) at->second = nullptr;
    if (device->hub) IndexDevices(*device->hub, codePage, byKey, keylessByIds);
  }
}

KeyFacts FactsOf(const model::Device& device) {
  KeyFacts facts;
  if (const auto& state = device.windowsState)
    facts.windows = WindowsKeyFacts{state->service, state->configFlags, state->devNodeStatus,
                                    state->problemCode};
  if (const auto& state = device.linuxState) {
    LinuxKeyFacts& kernel = facts.kernel.emplace();
    kernel.authorized = state->authorized;
    kernel.configured = device.currentConfigurationValue != 0;
    kernel.deviceDriver = state->deviceDriver;
    kernel.interfaceDrivers = state->interfaceDrivers;
    kernel.unread = state->unread;
    if (const auto& node = state->node)
      kernel.node = UsbfsNodeFacts{node->path, node->uid, node->gid, node->mode, node->openable,
                                   node->user};
  }
  if (const auto& usbip = device.usbip)
    facts.usbip = UsbipKeyFacts{usbip->server, usbip->remoteBusId};
  return facts;
}

}  // namespace

void JoinKeyFacts(const model::UsbModel& usb, DetectionReport& report) {
  if (report.keys.empty()) return;
  std::map<std::string, const model::Device*> byKey, keylessByIds;
  for (const model::Controller& controller : usb.controllers)
    if (controller.rootHub)
      IndexDevices(*controller.rootHub, usb.ansiCodePage, byKey, keylessByIds);
  for (KeySighting& key : report.keys) {
    const auto& index = key.driverKey.empty() ? keylessByIds : byKey;
    const auto found =
        index.find(key.driverKey.empty() ? IdsOf(key.vendorId, key.productId) : key.driverKey);
    if (found != index.end() && found->second != nullptr) key.facts = FactsOf(*found->second);
  }
}

Detected DetectOnModel(const model::UsbModel& usb, const std::string& source, std::ostream& err,
                       std::string* topology) {
  // Without the converter every text of the topology would come out as "?" while the run
  // still looked like a detection.
  if (const std::string missing = MissingConverter(usb.ansiCodePage); !missing.empty()) {
    err << "keldar: " << EscapeControls(source.substr(source.find(':') + 1)) << ": " << missing
        << '\n';
    return {std::nullopt, kExitFailure};
  }
  ModelPlatform platform(usb);
  Detected detected = DetectOnPlatform(platform, usb.ansiCodePage, source, err);
  if (!detected.report) return detected;
  JoinKeyFacts(usb, *detected.report);
  // The model platform answers a fact the source did not record as a machine without it
  // would; the report says "not known" instead.
  std::optional<EnvironmentFacts>& environment = detected.report->environment;
  if (usb.environment == model::Environment()) {
    environment.reset();
  } else if (environment) {
    if (!usb.environment.remoteSession) environment->remoteSession.reset();
    if (!usb.environment.systemManufacturer) environment->systemManufacturer.reset();
    if (!usb.environment.systemProductName) environment->systemProductName.reset();
  }
  detected.report->driverKeysArePorts = usb.driverKeysArePorts;
  // What could not be read leaves a report that may miss devices; the report says so, the
  // source's own reasons first.
  detected.report->warnings.insert(detected.report->warnings.begin(), usb.warnings.begin(),
                                   usb.warnings.end());
  if (topology != nullptr) *topology = WriteTopology(usb);
  return detected;
}

Detected Detect(const Source& source, const Machine& machine, std::ostream& err,
                std::string* topology) {
  const std::string name = source.Name();
  try {
    switch (source.kind) {
      case Source::Demo:
        return DetectOnModel(ReadTopology(DemoTopology(), "demo.json (built in)"), name, err,
                             topology);
      case Source::Topology:
        return DetectOnModel(LoadTopologyFile(source.path), name, err, topology);
      case Source::Sysfs:
        return DetectOnModel(machine.scanSysfs(source.path), name, err, topology);
      case Source::Live:
        break;
    }
    return DetectLive(machine, err, topology);
  } catch (const TopologyError& error) {
    err << "keldar: " << EscapeControls(error.what()) << '\n';
    return {std::nullopt, kExitUsage};
  } catch (const SysfsError& error) {
    if (source.kind == Source::Live)
      err << "keldar: live USB is not available: " << EscapeControls(error.what())
          << " (keldar --demo detects on the bundled demo topology)\n";
    else
      err << "keldar: " << EscapeControls(error.what()) << '\n';
    return {std::nullopt, kExitUsage};
  } catch (const std::bad_alloc&) {
    // A topology the reader accepts may still describe more than this machine's memory holds.
    err << "keldar: " << EscapeControls(source.Describe()) << ": not enough memory to detect on it\n";
    return {std::nullopt, kExitFailure};
  } catch (const std::exception& error) {
    err << "keldar: " << EscapeControls(error.what()) << '\n';
    return {std::nullopt, kExitFailure};
  }
}

}  // namespace keldar::cli
