#include "cli/keldar_cli.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include "cli/metrics.h"
#include "cli/output.h"
#include "cli/watch.h"
#include "cli/watch_source.h"
#include "detect/report.h"
#include "platform/model/model_platform.h"
#include "platform/linux/sysfs_scanner.h"
#include "model/topology_file.h"
#include "text/text_codec.h"
#include "text/utf8.h"
#ifdef _WIN32
#include <io.h>

#include "platform/recording/recording_platform.h"
#include "platform/win32/win32_platform.h"
#else
#include <unistd.h>
#endif

#ifndef KELDAR_VERSION
#define KELDAR_VERSION "unknown"
#endif

namespace keldar::cli {

namespace {

namespace fs = std::filesystem;

// Data written is on the disk, not only in the system's cache, before the file replaces another.
bool SyncToDisk(std::FILE* file) {
#ifdef _WIN32
  return _commit(_fileno(file)) == 0;
#else
  return ::fsync(::fileno(file)) == 0;
#endif
}

struct Options {
  bool demo = false;
  std::string topologyFile;
  std::string sysfsRoot;
  std::string exportFile;
  bool exporting = false;
  bool json = false;
  bool details = false;
  bool watch = false;
  double interval = 1.0;
  std::string prometheusFile;
  bool expectKey = false;
  double started = 0;  // when the detection began (SystemTime)
};

template <typename Fail>
bool WriteInPlace(const std::string& path, const std::string& topology, const Fail& fail) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return fail(errno != 0 ? std::strerror(errno) : "cannot open it");
  const bool written = std::fwrite(topology.data(), 1, topology.size(), file) == topology.size();
  const int writeError = errno;
  const bool closed = std::fclose(file) == 0;
  if (written && closed) return true;
  return fail(std::strerror(written ? errno : writeError));
}

// The topology goes to a new file beside `path` that replaces it only once it is complete and
// on disk: a failed write leaves whatever `path` held before (the very file a replay read,
// with --topology X --export X) and no partial file.
bool WriteExport(const std::string& path, const std::string& topology, std::ostream& err) {
  const auto fail = [&](const std::string& reason) {
    err << "keldar: " << EscapeControls(path) << ": cannot write the topology file: " << reason
        << '\n';
    return false;
  };
  fs::path target(path);
  std::error_code error;
  const fs::file_status status = fs::status(target, error);
  if (fs::is_directory(status)) return fail("it is a directory");
  // A device or a pipe (/dev/stdout) is written as it is: it cannot be replaced, nor should be.
  if (fs::exists(status) && !fs::is_regular_file(status)) return WriteInPlace(path, topology, fail);
  // A link keeps pointing where it did; the file it leads to is replaced.
  if (fs::is_symlink(fs::symlink_status(target, error))) target = fs::canonical(target, error);
  // A name of the program's own beside the target: renaming within one folder replaces the
  // target in one step.
  std::random_device entropy;
  const fs::path temporary =
      target.parent_path() /
      (target.filename().string() + ".keldar-" + std::to_string(entropy() & 0xFFFFFF) + ".tmp");
  errno = 0;
  std::FILE* file = std::fopen(temporary.string().c_str(), "wb");
  if (file == nullptr) return fail(errno != 0 ? std::strerror(errno) : "cannot create it");
  errno = 0;
  bool written = std::fwrite(topology.data(), 1, topology.size(), file) == topology.size() &&
                 std::fflush(file) == 0 && SyncToDisk(file);
  int writeError = errno;
  if (std::fclose(file) != 0 && written) {
    written = false;
    writeError = errno;
  }
  if (written) {
    fs::rename(temporary, target, error);
    if (!error) return true;
  }
  std::error_code ignored;
  fs::remove(temporary, ignored);
  if (written) return fail(error.message());
  return fail(writeError != 0 ? std::strerror(writeError) : "the write failed");
}

// The report goes out in one piece; a standard output that is closed or full (a pipe whose
// reader has gone, a full disk) is an error of its own, not a detection.
int Printed(std::ostream& out, std::ostream& err) {
  out.flush();
  if (out) return kExitDetected;
  const int error = errno;
  err << "keldar: cannot write the report"
      << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << '\n';
  return kExitFailure;
}

bool WriteMetrics(const DetectionReport& report, const std::string& source,
                  const Options& options, std::ostream& err) {
  const double ended = SystemTime();
  const Metrics metrics{KeysOf(report, PortIsDriverKey(source)), report.devices.size(),
                        ended - options.started, ended};
  return WriteFileAtomically(options.prometheusFile, MetricsText(metrics), err);
}

// The detection runs first; the export is written before anything is printed, so that a
// failed export leaves only its error line and a run prints either all of its result or none.
int Report(Platform& platform, unsigned codePage, std::string source, const Options& options,
           const std::function<std::string()>& topology, std::ostream& out, std::ostream& err,
           const std::vector<std::string>& warnings = {}) {
  DWORD computerNameError = 0;
  std::optional<DetectionReport> report =
      RunDetection(platform, codePage, source, &computerNameError);
  if (!report) {
    err << "keldar: the computer name is not available (error " << computerNameError << ")\n";
    return kExitFailure;
  }
  if (options.exporting) {
    const std::string exported = topology();
    // What is exported must replay: a file that the reader refuses is not written.
    try {
      ReadTopology(exported, options.exportFile);
    } catch (const TopologyError& error) {
      err << "keldar: " << EscapeControls(options.exportFile)
          << ": the topology is not written, it would not read back: "
          << EscapeControls(error.what()) << '\n';
      return kExitFailure;
    }
    if (!WriteExport(options.exportFile, exported, err)) return kExitFailure;
  }
  // What could not be read leaves a report that may miss devices: said on stderr, and in JSON.
  for (const std::string& warning : warnings)
    err << "keldar: warning: " << EscapeControls(warning) << '\n';
  report->warnings = warnings;
  errno = 0;  // the reason of a failed write, if any, is the first one after this
  if (!options.prometheusFile.empty() && !WriteMetrics(*report, source, options, err))
    return kExitFailure;
  if (options.json)
    WriteJson(*report, out);
  else
    WriteText(*report, options.details, out);
  if (const int printed = Printed(out, err); printed != kExitDetected) return printed;
  return options.expectKey && !report->keyFound ? kExitNoKey : kExitDetected;
}

int ReportModel(const model::UsbModel& usb, std::string source, const Options& options,
                std::ostream& out, std::ostream& err) {
  // Without the converter every text of the topology would come out as "?" while the run
  // still looked like a detection.
  if (const std::string missing = MissingConverter(usb.ansiCodePage); !missing.empty()) {
    err << "keldar: " << EscapeControls(source.substr(source.find(':') + 1)) << ": " << missing << '\n';
    return kExitFailure;
  }
  ModelPlatform platform(usb);
  return Report(platform, usb.ansiCodePage, std::move(source), options,
                [&usb] { return WriteTopology(usb); }, out, err, usb.warnings);
}

int ReportSysfs(const std::string& root, std::string source, bool live, const Options& options,
                const Machine& machine, std::ostream& out, std::ostream& err) {
  model::UsbModel usb;
  try {
    usb = machine.scanSysfs(root);
  } catch (const SysfsError& error) {
    if (live)
      err << "keldar: live USB is not available: " << EscapeControls(error.what())
          << " (keldar --demo detects on the bundled demo topology)\n";
    else
      err << "keldar: " << EscapeControls(error.what()) << '\n';
    return kExitUsage;
  }
  return ReportModel(usb, std::move(source), options, out, err);
}

int ReportLive(const Options& options, const Machine& machine, std::ostream& out,
               std::ostream& err) {
#ifdef _WIN32
  (void)machine;
  Win32Platform system;
  if (!options.exporting) return Report(system, GetACP(), "live", options, {}, out, err);
  RecordingPlatform recorder(system, GetACP());
  return Report(recorder, GetACP(), "live", options,
                [&recorder] { return WriteTopology(recorder.RecordedModel()); }, out, err);
#else
  return ReportSysfs(kLiveSysfsRoot, "live", true, options, machine, out, err);
#endif
}

}  // namespace

Machine ThisMachine() {
  return {[](const std::string& sysfsRoot) { return ScanSysfs(sysfsRoot); }, SystemWatchClock};
}

int RunKeldar(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  return RunKeldar(argc, argv, out, err, ThisMachine());
}

int RunKeldar(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
              const Machine& machine) {
  CLI::App app{"Walks the USB topology and names the USB protection keys plugged in.", "keldar"};
  Options options;
  app.add_flag("--demo", options.demo, "Detect on the bundled demo topology");
  auto* topology = app.add_option("--topology", options.topologyFile,
                                   "Detect on the USB topology recorded in FILE (JSON)")
                       ->type_name("FILE");
#ifndef _WIN32
  auto* sysfs = app.add_option("--sysfs", options.sysfsRoot,
                                "Detect on the sysfs tree mounted at DIR (the live one is /sys)")
                    ->type_name("DIR");
#else
  // A sysfs tree is a Linux machine's; the Windows console has no name for the computer it
  // would describe, so it offers no --sysfs.
  CLI::Option* sysfs = nullptr;
#endif
  auto* exportFile = app.add_option("--export", options.exportFile,
                                    "Also write the topology the detection used to FILE")
                         ->type_name("FILE");
  app.add_flag("--json", options.json, "Print the result as one JSON document");
  auto* details =
      app.add_flag("--details", options.details, "Print each tree item's detail lines under it");
  auto* watch = app.add_flag(
      "--watch", options.watch,
      "Keep detecting; print one line (with --json one JSON object) per key that arrives or "
      "leaves, e.g. 2026-12-07T21:03:04+01:00 arrived SafeNet HASP HL SRM (0x0529:0x0001) at "
      "3-1.4. Ctrl-C or SIGTERM ends it with status 0");
  app.add_option("--interval", options.interval,
                 "--watch: detect at least every SECONDS (default 1); on Linux udev's USB "
                 "events also wake it")
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          // CLI11's PositiveNumber would quote the largest double in its message.
          [](std::string& text) -> std::string {
            double seconds = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, seconds);
            if (error != std::errc() || stop != end || !(seconds > 0) || !std::isfinite(seconds))
              return "SECONDS must be a number above 0, such as 0.5; given: " + text;
            return {};
          },
          "POSITIVE"))
      ->needs(watch);
  app.add_option("--prometheus", options.prometheusFile,
                 "Also write the keys found as node exporter textfile metrics to FILE (replaced "
                 "atomically; with --watch on every change), e.g. "
                 "keldar_key_present{model=\"SafeNet HASP HL SRM\",vendor_id=\"0x0529\","
                 "product_id=\"0x0001\",port=\"3-1.4\"} 1")
      ->type_name("FILE");
  auto* expectKey = app.add_flag("--expect-key", options.expectKey,
                                 "Exit with status 3 when no known key was found");
  watch->excludes(exportFile)->excludes(details)->excludes(expectKey);
  app.footer(
      "Exit status: 0 after a detection (also --help, --version, and a watch ended by Ctrl-C or "
      "SIGTERM); 2 for a usage error, an unreadable or malformed topology file, or a sysfs root "
      "without a USB tree; 3 with --expect-key when no known key was found (e.g. "
      "keldar --expect-key >/dev/null || echo 'no key'); 1 for anything else.");
  app.set_version_flag("--version", std::string("keldar ") + KELDAR_VERSION);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version end the parse with a success of their own.
    if (error.get_exit_code() == 0) return app.exit(error, out, err);
    err << "keldar: " << EscapeControls(error.what()) << " (keldar --help lists the options)\n";
    return kExitUsage;
  }
  options.exporting = exportFile->count() > 0;
  const bool sysfsGiven = sysfs != nullptr && sysfs->count() > 0;
  // One source at most. Checked on the values rather than on what was written: "--demo=false"
  // asks for no demo, and so excludes nothing.
  std::vector<std::string> sources;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    for (const auto* option : {"--demo", "--topology", "--sysfs"}) {
      const std::string_view name(option);
      if (arg.substr(0, name.size()) != name ||
          (arg.size() > name.size() && arg[name.size()] != '='))
        continue;
      const bool given = name == "--demo" ? options.demo : true;
      if (given && std::find(sources.begin(), sources.end(), name) == sources.end())
        sources.emplace_back(name);
    }
  }
  if (sources.size() > 1) {
    err << "keldar: " << sources[0] << " excludes " << sources[1]
        << " (keldar --help lists the options)\n";
    return kExitUsage;
  }

  // Without the converter every Chinese text would come out empty or as U+FFFD while the run
  // still looked like a detection.
  if (const std::string missing = MissingConverter(kProgramCodePage); !missing.empty()) {
    err << "keldar: " << missing << '\n';
    return kExitFailure;
  }
  options.started = SystemTime();

  try {
    if (options.watch) {
      const WatchSource source{options.demo               ? WatchSource::Demo
                               : topology->count() > 0    ? WatchSource::Topology
                               : sysfsGiven       ? WatchSource::Sysfs
                                                          : WatchSource::Live,
                               options.demo ? "" : topology->count() > 0 ? options.topologyFile
                                                                        : options.sysfsRoot};
      return Watch(source, {options.interval, options.json, false, options.prometheusFile},
                   machine, out, err);
    }
    if (options.demo) {
      const model::UsbModel usb = ReadTopology(DemoTopology(), "demo.json (built in)");
      return ReportModel(usb, "demo", options, out, err);
    }
    if (topology->count() > 0) {
      const model::UsbModel usb = LoadTopologyFile(options.topologyFile);
      return ReportModel(usb, "topology:" + options.topologyFile, options, out, err);
    }
    if (sysfsGiven)
      return ReportSysfs(options.sysfsRoot, "sysfs:" + options.sysfsRoot, false, options,
                         machine, out, err);
    return ReportLive(options, machine, out, err);
  } catch (const TopologyError& error) {
    err << "keldar: " << EscapeControls(error.what()) << '\n';
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    // A topology the reader accepts may still describe more than this machine's memory holds.
    const std::string name = options.demo             ? "the demo topology"
                             : topology->count() > 0 ? options.topologyFile
                             : sysfsGiven    ? options.sysfsRoot
                                                     : "live USB";
    err << "keldar: " << EscapeControls(name) << ": not enough memory to detect on it\n";
    return kExitFailure;
  } catch (const std::exception& error) {
    err << "keldar: " << EscapeControls(error.what()) << '\n';
    return kExitFailure;
  }
}

}  // namespace keldar::cli
