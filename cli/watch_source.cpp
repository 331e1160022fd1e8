#include "cli/watch_source.h"

#include <exception>
#include <optional>

#include "model/topology_file.h"
#include "platform/linux/sysfs_scanner.h"
#include "platform/model/model_platform.h"
#include "text/text_codec.h"
#include "text/utf8.h"
#ifdef _WIN32
#include "platform/win32/win32_platform.h"
#endif

namespace keldar::cli {

namespace {

// The watcher's detections: the source is read anew every time (a topology file re-read, a
// sysfs tree scanned again), and a failure is an error line and a status, never a throw.
Detected DetectOn(Platform& platform, unsigned codePage, const std::string& source,
                  std::ostream& err) {
  DWORD computerNameError = 0;
  Detected detected{RunDetection(platform, codePage, source, &computerNameError), kExitDetected};
  if (!detected.report) {
    err << "keldar: the computer name is not available (error " << computerNameError << ")\n";
    detected.status = kExitFailure;
  }
  return detected;
}

Detected DetectOnModel(const model::UsbModel& usb, const std::string& source, std::ostream& err) {
  if (const std::string missing = MissingConverter(usb.ansiCodePage); !missing.empty()) {
    err << "keldar: " << EscapeControls(source.substr(source.find(':') + 1)) << ": " << missing << '\n';
    return {std::nullopt, kExitFailure};
  }
  ModelPlatform platform(usb);
  return DetectOn(platform, usb.ansiCodePage, source, err);
}

}  // namespace

bool PortIsDriverKey(const std::string& source) {
#ifdef _WIN32
  return source.rfind("sysfs:", 0) == 0;
#else
  return source == "live" || source.rfind("sysfs:", 0) == 0;
#endif
}

int Watch(const WatchSource& watched, WatchOptions options, const Machine& machine,
          std::ostream& out, std::ostream& err) {
  const std::string source = watched.kind == WatchSource::Demo       ? "demo"
                             : watched.kind == WatchSource::Topology ? "topology:" + watched.path
                             : watched.kind == WatchSource::Sysfs    ? "sysfs:" + watched.path
                                                                     : "live";
  const auto detect = [&](std::ostream& errors) -> Detected {
    try {
      if (watched.kind == WatchSource::Demo)
        return DetectOnModel(ReadTopology(DemoTopology(), "demo.json (built in)"), source, errors);
      if (watched.kind == WatchSource::Topology)
        return DetectOnModel(LoadTopologyFile(watched.path), source, errors);
      const bool live = watched.kind == WatchSource::Live;
#ifdef _WIN32
      if (live) {
        Win32Platform system;
        return DetectOn(system, GetACP(), source, errors);
      }
#endif
      try {
        return DetectOnModel(machine.scanSysfs(live ? kLiveSysfsRoot : watched.path), source,
                             errors);
      } catch (const SysfsError& error) {
        if (live)
          errors << "keldar: live USB is not available: " << EscapeControls(error.what())
                 << '\n';
        else
          errors << "keldar: " << EscapeControls(error.what()) << '\n';
        return {std::nullopt, kExitUsage};
      }
    } catch (const TopologyError& error) {
      errors << "keldar: " << EscapeControls(error.what()) << '\n';
      return {std::nullopt, kExitUsage};
    } catch (const std::exception& error) {
      errors << "keldar: " << EscapeControls(error.what()) << '\n';
      return {std::nullopt, kExitFailure};
    }
  };
  const bool liveUsb = watched.kind == WatchSource::Live;
  const WatchClock clock =
      machine.watchClock ? machine.watchClock(liveUsb) : SystemWatchClock(liveUsb);
  options.portIsDriverKey = PortIsDriverKey(source);
  return RunWatch(detect, options, clock, out, err);
}

}  // namespace keldar::cli
