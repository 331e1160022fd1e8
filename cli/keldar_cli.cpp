#include "cli/keldar_cli.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include "cli/files.h"
#include "cli/help.h"
#include "cli/metrics.h"
#include "cli/output.h"
#include "cli/source.h"
#include "cli/watch.h"
#include "detect/report.h"
#include "model/topology_file.h"
#include "backends/linux/sysfs_scanner.h"
#include "text/text_codec.h"
#include "text/utf8.h"

#ifndef KELDAR_VERSION
#define KELDAR_VERSION "unknown"
#endif

namespace keldar::cli {

namespace {

struct Options {
  Source source;
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

// What is written to standard output goes out in one piece; a standard output that takes
// nothing (a full disk) is an error of its own. A pipe whose reader has gone ends the program
// by SIGPIPE before this, on the systems that have it.
int Printed(std::ostream& out, std::ostream& err, const char* what) {
  out.flush();
  if (out) return kExitDetected;
  const int error = errno;
  err << "keldar: cannot write the " << what
      << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << '\n';
  return kExitFailure;
}

// What is exported must replay: a file that the reader refuses is not written.
bool Export(const std::string& topology, const std::string& path, std::ostream& err) {
  try {
    ReadTopology(topology, path);
  } catch (const TopologyError& error) {
    err << "keldar: " << EscapeControls(path)
        << ": the topology is not written, it would not read back: "
        << EscapeControls(error.what()) << '\n';
    return false;
  }
  return WriteReplacing(path, topology, "topology file", err);
}

// One detection. The export is written before anything is printed, so that a failed export
// leaves only its error line and a run prints either all of its result or none.
int Report(const Options& options, const Machine& machine, std::ostream& out,
           std::ostream& err) {
  std::string topology;
  const Detected detected =
      Detect(options.source, machine, err, options.exporting ? &topology : nullptr);
  if (!detected.report) return detected.status;
  const DetectionReport& report = *detected.report;
  if (options.exporting && !Export(topology, options.exportFile, err)) return kExitFailure;
  // What could not be read leaves a report that may miss devices: said on stderr, and in JSON.
  for (const std::string& warning : report.warnings)
    err << "keldar: warning: " << EscapeControls(warning) << '\n';
  if (!options.prometheusFile.empty()) {
    const double ended = SystemTime();
    const Metrics metrics{KeysOf(report), report.devices.size(), ended - options.started, ended};
    if (!WriteReplacing(options.prometheusFile, MetricsText(metrics), "metrics file", err))
      return kExitFailure;
  }
  errno = 0;  // the reason of a failed write, if any, is the first one after this
  if (options.json)
    WriteJson(report, out);
  else
    WriteText(report, options.details, out);
  if (const int printed = Printed(out, err, "report"); printed != kExitDetected) return printed;
  if (!options.expectKey) return kExitDetected;
  if (!report.keyFound) return kExitNoKey;
  // Keys that are there but that no program here can use fail a check as much as none.
  bool anyMaybeUsable = report.keys.empty();
  for (const KeySighting& key : report.keys)
    anyMaybeUsable |= JudgeKey(key.facts).usable != false;
  return anyMaybeUsable ? kExitDetected : kExitKeysUnusable;
}

// A usage error: one line, and where the options are listed.
int Usage(const std::string& message, std::ostream& err) {
  err << "keldar: " << EscapeControls(message) << " (keldar --help lists the options)\n";
  return kExitUsage;
}

// The options, or the status to end with: after --help or --version, or a usage error.
std::optional<int> Parse(int argc, const char* const* argv, Options& options, std::ostream& out,
                         std::ostream& err) {
  CLI::App app{"Walks the USB topology and names the USB protection keys plugged in.", "keldar"};
  app.formatter(HelpFormatter());
  std::string topologyFile, sysfsRoot;
  bool demo = false;
  app.add_flag("--demo", demo, "The demo topology built into keldar")->group(kHelpGroupSources);
  auto* topology = app.add_option("--topology", topologyFile,
                                  "The topology recorded in FILE (JSON, as --export writes it)")
                       ->type_name("FILE")
                       ->group(kHelpGroupSources);
  // A sysfs tree is a Linux machine's; the Windows console has no name for the computer it
  // would describe, so it offers no --sysfs.
  CLI::Option* sysfs =
      !kLiveIsSysfs ? nullptr
                    : app.add_option("--sysfs", sysfsRoot,
                                     "The sysfs tree mounted or copied at DIR (the live one is /sys)")
                          ->type_name("DIR")
                          ->group(kHelpGroupSources);
  app.add_flag("--json", options.json,
               "Print one JSON document (with --watch, one JSON object a line)")
      ->group(kHelpGroupOutput);
  auto* details = app.add_flag("--details", options.details,
                               "Print each tree item's detail lines under it")
                      ->group(kHelpGroupOutput);
  auto* exportFile = app.add_option("--export", options.exportFile,
                                    "Also write the topology the detection used to FILE")
                         ->type_name("FILE")
                         ->group(kHelpGroupOutput);
  app.add_option("--prometheus", options.prometheusFile,
                 "Also write the keys found as node exporter textfile metrics to FILE (with "
                 "--watch, at every change)")
      ->type_name("FILE")
      ->group(kHelpGroupOutput);
  auto* watch = app.add_flag("--watch", options.watch,
                             "Keep detecting; print a line for each key that arrives or leaves, "
                             "e.g. 2026-12-07T21:03:04+01:00 arrived SafeNet HASP HL SRM "
                             "(0x0529:0x0001) at 3-1.4, and one when its verdict is known or "
                             "changes (usable, unusable)")
                    ->group(kHelpGroupWatch);
  app.add_option("--interval", options.interval,
                 "Detect at least every SECONDS (default 1, at least 0.05); on Linux udev's USB "
                 "events also wake the watch")
      ->type_name("SECONDS")
      ->group(kHelpGroupWatch)
      ->check(CLI::Validator(
          // CLI11's PositiveNumber would quote the largest double in its message.
          [](std::string& text) -> std::string {
            double seconds = 0;
            const char* end = text.data() + text.size();
            const auto [stop, error] = std::from_chars(text.data(), end, seconds);
            if (error != std::errc() || stop != end || !(seconds >= kMinWatchInterval) ||
                !std::isfinite(seconds))
              return "SECONDS must be a number of at least 0.05, such as 0.5; given: " + text;
            return {};
          },
          ""))
      ->needs(watch);
  auto* expectKey = app.add_flag("--expect-key", options.expectKey,
                                 "Exit with status 3 when no known key was found, 4 when every key "
                                 "found is unusable")
                        ->group(kHelpGroupScripts);
  // Made again here, so that the help lists them last.
  app.set_help_flag("-h,--help", "Print this help and exit")->group(kHelpGroupScripts);
  app.set_version_flag("--version", std::string("keldar ") + KELDAR_VERSION,
                       "Print the version and exit")
      ->group(kHelpGroupScripts);
  watch->excludes(exportFile)->excludes(details)->excludes(expectKey);
  app.footer(kHelpFooter);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version end the parse with a success of their own, once it is printed.
    if (error.get_exit_code() != 0) return Usage(error.what(), err);
    errno = 0;
    app.exit(error, out, err);
    return Printed(out, err, error.get_name() == "CallForVersion" ? "version" : "help");
  }
  options.exporting = exportFile->count() > 0;
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
      const bool given = name == "--demo" ? demo : true;
      if (given && std::find(sources.begin(), sources.end(), name) == sources.end())
        sources.emplace_back(name);
    }
  }
  if (sources.size() > 1) return Usage(sources[0] + " excludes " + sources[1], err);
  options.source = demo                   ? Source{Source::Demo, ""}
                   : topology->count() > 0 ? Source{Source::Topology, topologyFile}
                   : sysfs != nullptr && sysfs->count() > 0 ? Source{Source::Sysfs, sysfsRoot}
                                           : Source{Source::Live, ""};
  // The metrics file is replaced at every write: never the file a detection reads or exports.
  const std::string& metrics = options.prometheusFile;
  if (!metrics.empty() && options.source.kind == Source::Topology &&
      WouldReplace(metrics, topologyFile))
    return Usage("--prometheus names the file of --topology: " + metrics, err);
  if (!metrics.empty() && options.exporting && WouldReplace(metrics, options.exportFile))
    return Usage("--prometheus names the file of --export: " + metrics, err);
  return std::nullopt;
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
  Options options;
  if (const std::optional<int> status = Parse(argc, argv, options, out, err)) return *status;
  // Without the converter every Chinese text would come out empty or as U+FFFD while the run
  // still looked like a detection.
  if (const std::string missing = MissingConverter(kProgramCodePage); !missing.empty()) {
    err << "keldar: " << missing << '\n';
    return kExitFailure;
  }
  options.started = SystemTime();
  try {
    if (!options.watch) return Report(options, machine, out, err);
    const Source& source = options.source;
    const bool liveUsb = source.kind == Source::Live;
    const WatchClock clock =
        machine.watchClock ? machine.watchClock(liveUsb) : SystemWatchClock(liveUsb);
    return RunWatch([&](std::ostream& errors) { return Detect(source, machine, errors); },
                    {options.interval, options.json, options.prometheusFile},
                    clock, out, err);
  } catch (const std::bad_alloc&) {
    // Writing a report of a topology that only just fitted.
    err << "keldar: " << EscapeControls(options.source.Describe())
        << ": not enough memory to detect on it\n";
    return kExitFailure;
  } catch (const std::exception& error) {
    err << "keldar: " << EscapeControls(error.what()) << '\n';
    return kExitFailure;
  }
}

}  // namespace keldar::cli
