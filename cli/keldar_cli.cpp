#include "cli/keldar_cli.h"

#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include "cli/report.h"
#include "platform/model/model_platform.h"
#include "platform/model/topology_file.h"
#ifdef _WIN32
#include "platform/win32/win32_platform.h"
#endif

#ifndef KELDAR_VERSION
#define KELDAR_VERSION "unknown"
#endif

namespace keldar::cli {

namespace {

struct Options {
  bool demo = false;
  std::string topologyFile;
  bool json = false;
  bool details = false;
};

int Report(Platform& platform, unsigned codePage, std::string source, const Options& options,
           std::ostream& out, std::ostream& err) {
  DWORD computerNameError = 0;
  const std::optional<DetectionReport> report =
      RunDetection(platform, codePage, std::move(source), &computerNameError);
  if (!report) {
    err << "keldar: the computer name is not available (error " << computerNameError << ")\n";
    return kExitFailure;
  }
  if (options.json)
    WriteJson(*report, out);
  else
    WriteText(*report, options.details, out);
  return kExitDetected;
}

int ReportModel(const model::UsbModel& usb, std::string source, const Options& options,
                std::ostream& out, std::ostream& err) {
  ModelPlatform platform(usb);
  return Report(platform, usb.ansiCodePage, std::move(source), options, out, err);
}

int ReportLive(const Options& options, std::ostream& out, std::ostream& err) {
#ifdef _WIN32
  Win32Platform platform;
  return Report(platform, GetACP(), "live", options, out, err);
#else
  (void)options;
  (void)out;
  err << "keldar: live USB is not available on this system; run `keldar --demo` for the "
         "bundled demo topology or `keldar --topology FILE` to replay a topology file\n";
  return kExitFailure;
#endif
}

}  // namespace

int RunKeldar(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  CLI::App app{"Walks the USB topology and names the USB protection keys plugged in.", "keldar"};
  Options options;
  auto* demo = app.add_flag("--demo", options.demo, "Detect on the bundled demo topology");
  auto* topology = app.add_option("--topology", options.topologyFile,
                                   "Detect on the USB topology recorded in FILE (JSON)")
                       ->type_name("FILE");
  demo->excludes(topology);
  app.add_flag("--json", options.json, "Print the result as one JSON document");
  app.add_flag("--details", options.details, "Print each tree item's detail lines under it");
  app.set_version_flag("--version", std::string("keldar ") + KELDAR_VERSION);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help and --version end the parse with a success of their own.
    if (error.get_exit_code() == 0) return app.exit(error, out, err);
    err << "keldar: " << error.what() << " (keldar --help lists the options)\n";
    return kExitUsage;
  }

  try {
    if (options.demo) {
      const model::UsbModel usb = ReadTopology(DemoTopology(), "demo.json (built in)");
      return ReportModel(usb, "demo", options, out, err);
    }
    if (topology->count() > 0) {
      const model::UsbModel usb = LoadTopologyFile(options.topologyFile);
      return ReportModel(usb, "topology:" + options.topologyFile, options, out, err);
    }
  } catch (const TopologyError& error) {
    err << "keldar: " << error.what() << '\n';
    return kExitUsage;
  } catch (const std::exception& error) {
    err << "keldar: " << error.what() << '\n';
    return kExitFailure;
  }
  return ReportLive(options, out, err);
}

}  // namespace keldar::cli
