#include "cli/watch.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

#include <nlohmann/json.hpp>

#include "cli/files.h"
#include "cli/metrics.h"
#include "cli/output.h"
#include "text/text_codec.h"
#include "text/utf8.h"

namespace keldar::cli {

namespace {

std::string HexId(std::uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(id));
  return text;
}

// Days since 1970-01-01 of a calendar date (the proleptic Gregorian calendar).
long CivilDay(const std::tm& tm) {
  const long month = tm.tm_mon + 1;
  const long year = tm.tm_year + 1900L - (month <= 2 ? 1 : 0);
  const long era = (year >= 0 ? year : year - 399) / 400;
  const long yearOfEra = year - era * 400;
  const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + tm.tm_mday - 1;
  const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The same line for a key in both forms, text or JSON. A JSON line carries the warnings of
// the detection that saw the change: a key that left may only have become unreadable. A
// verdict's line (usable, unusable) carries the verdict as the report's keys do.
void WriteLine(const std::string& time, const char* event, const KeyView& key,
               const std::vector<std::string>& warnings, bool json, std::ostream& out) {
  const bool verdict = std::strcmp(event, "usable") == 0 || std::strcmp(event, "unusable") == 0;
  if (json) {
    nlohmann::ordered_json line = {{"time", time},          {"event", event},
                                   {"model", key.model},    {"vendorId", key.vendorId},
                                   {"productId", key.productId}, {"port", key.port}};
    if (verdict) {
      line["driver"] = key.verdict.driver.empty() ? nlohmann::ordered_json(nullptr)
                                                  : nlohmann::ordered_json(key.verdict.driver);
      line["reasons"] = VerdictItems(key.verdict.reasons);
      line["notes"] = VerdictItems(key.verdict.notes);
    }
    if (!warnings.empty()) line["warnings"] = warnings;
    // A warning names a path, which need not be UTF-8.
    out << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
  } else {
    // A hub's or a key's name must not drive the terminal, nor split the event over two lines.
    out << time << ' ' << event << ' ' << EscapeControls(key.model) << " (" << key.vendorId
        << ':' << key.productId << ") at " << EscapeControls(key.port);
    // As the report's Keys section words it: why not, the driver, the notes.
    if (verdict) {
      std::string words = InWords(key.verdict.reasons);
      if (!key.verdict.driver.empty())
        words += (words.empty() ? "" : "; ") + ("driver " + EscapeControls(key.verdict.driver));
      if (!key.verdict.notes.empty())
        words += (words.empty() ? "" : "; ") + ("note: " + InWords(key.verdict.notes));
      if (!words.empty()) out << ": " << words;
    }
    out << '\n';
  }
}

// What a usable or unusable line told of a key: whether it is usable, and the reasons that are
// known. A reason not known beside them (no /dev) is no change of its own.
struct Told {
  bool usable = false;
  std::vector<VerdictItem> reasons;
  friend bool operator==(const Told&, const Told&) = default;
};

std::optional<Told> TellingOf(const KeyVerdict& verdict) {
  if (!verdict.usable) return std::nullopt;
  Told told{*verdict.usable, {}};
  for (const VerdictItem& reason : verdict.reasons)
    if (reason.code != "statusUnknown") told.reasons.push_back(reason);
  return told;
}

}  // namespace

bool SameKey(const KeyView& a, const KeyView& b) {
  return a.model == b.model && a.vendorId == b.vendorId && a.productId == b.productId &&
         a.port == b.port && a.address == b.address;
}

std::vector<KeyView> KeysOf(const DetectionReport& report) {
  std::vector<KeyView> keys;
  for (const KeySighting& key : report.keys) {
    // A hand-made file may mark its driver keys as ports and still leave a key without one.
    const bool byPort = report.driverKeysArePorts && !key.driverKey.empty();
    keys.push_back({AnsiToUtf8(key.model, report.programCodePage), HexId(key.vendorId),
                    HexId(key.productId),
                    AnsiToUtf8(byPort ? key.driverKey : key.place, report.ansiCodePage),
                    key.address, JudgeKey(key.facts)});
  }
  return keys;
}

std::string LocalTimeText(double unixSeconds) {
  const auto seconds = static_cast<std::time_t>(std::floor(unixSeconds));
  // The watcher runs on one thread: the library's shared results are copied at once.
  const std::tm local = *std::localtime(&seconds);
  const std::tm utc = *std::gmtime(&seconds);
  // strftime's %z is a zone name on Windows: the offset is worked out from the two dates.
  const long offset =
      (CivilDay(local) - CivilDay(utc)) * 86400 +
      (local.tm_hour - utc.tm_hour) * 3600L + (local.tm_min - utc.tm_min) * 60L +
      (local.tm_sec - utc.tm_sec);
  // RFC 3339 offsets are whole minutes below 24 hours; a zone beyond that (seconds in its
  // offset, as in local mean times, or a POSIX zone of 24 hours) is shown in UTC instead.
  const long magnitude = offset < 0 ? -offset : offset;
  const bool expressible = magnitude % 60 == 0 && magnitude < 24 * 3600;
  const std::tm& shown = expressible ? local : utc;
  char zone[48] = "Z";  // room for any long, though the offset is under 24 hours
  if (expressible)
    std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 3600,
                  magnitude / 60 % 60);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%s", shown.tm_year + 1900,
                shown.tm_mon + 1, shown.tm_mday, shown.tm_hour, shown.tm_min, shown.tm_sec, zone);
  return text;
}

int RunWatch(const std::function<Detected(std::ostream& err)>& detect, const WatchOptions& options,
             const WatchClock& clock, std::ostream& out, std::ostream& err) {
  std::vector<KeyView> previous;
  // What the last usable or unusable line said of each key present, none before one was said.
  std::vector<std::pair<KeyView, std::optional<Told>>> told;
  std::size_t previousDevices = 0;
  bool first = true;
  bool failing = false;
  bool metricsStale = false;  // the last write of the metrics file failed
  double metricsWritten = 0;  // when the metrics file was last written
  std::vector<std::string> warned;  // the previous detection's warnings, already said
  for (;;) {
    const auto started = clock.now();
    std::ostringstream errors;
    Detected detected = detect(errors);
    std::optional<std::vector<KeyView>> keys;
    if (detected.report) {
      keys = KeysOf(*detected.report);
      // A change is believed when a second detection right away agrees: a device caught
      // half-read while it vanishes, or a file caught while it is rewritten, is no change.
      if (!first && *keys != previous) {
        Detected again = detect(errors);
        if (!again.report || KeysOf(*again.report) != *keys)
          keys.reset();
        else
          detected = std::move(again);
      }
    }
    // A source that keeps failing is named once, not every interval.
    if (!errors.str().empty() && (first || !failing)) err << errors.str() << std::flush;
    if (!detected.report && first) return detected.status;
    failing = !detected.report;
    // Said once while it lasts, and again when it comes back after a detection without it.
    if (detected.report) {
      for (const std::string& warning : detected.report->warnings)
        if (std::find(warned.begin(), warned.end(), warning) == warned.end())
          err << "keldar: warning: " << EscapeControls(warning) << '\n';
      err.flush();
      warned = detected.report->warnings;
    }

    if (keys) {
      const double ended = clock.now();
      if (first || *keys != previous) {
        const std::string time = LocalTimeText(ended);
        const std::vector<std::string>& warnings = detected.report->warnings;
        errno = 0;  // the reason of a failed write, if any, is the first one after this
        const auto among = [](const std::vector<KeyView>& list, const KeyView& key) {
          return std::any_of(list.begin(), list.end(),
                             [&](const KeyView& other) { return SameKey(other, key); });
        };
        for (const KeyView& key : previous)
          if (!among(*keys, key)) WriteLine(time, "left", key, warnings, options.json, out);
        // A key that stays is said again when its verdict is known and not what was said; one
        // that arrived is said at once, after its arrival.
        std::vector<std::pair<KeyView, std::optional<Told>>> now;
        for (const KeyView& key : *keys) {
          const auto before = std::find_if(told.begin(), told.end(),
                                           [&](const auto& said) { return SameKey(said.first, key); });
          std::optional<Told> said = before != told.end() ? before->second : std::nullopt;
          if (!among(previous, key)) WriteLine(time, "arrived", key, warnings, options.json, out);
          if (const auto telling = TellingOf(key.verdict); telling && telling != said) {
            WriteLine(time, telling->usable ? "usable" : "unusable", key, warnings, options.json,
                      out);
            said = telling;
          }
          now.emplace_back(key, std::move(said));
        }
        told = std::move(now);
        out.flush();
        // Lines that nobody receives make no watch (a full disk; on Windows also a pipe whose
        // reader has gone, which on Linux ends the program by SIGPIPE first).
        if (!out) {
          const int error = errno;
          err << "keldar: cannot write the watch lines"
              << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << '\n';
          return 1;
        }
      }
      // The metrics file is rewritten when what it tells apart from the timing changed, at
      // least once a minute so that its detection time stays fresh, and after a failed write at
      // every detection until one succeeds: a collector must not read old keys for ever. The
      // failure is said when it starts, and the recovery.
      const std::size_t devices = detected.report->devices.size();
      if (!options.prometheusFile.empty() &&
          (first || metricsStale || *keys != previous || devices != previousDevices ||
           ended - metricsWritten >= kMetricsRefreshSeconds)) {
        std::ostringstream failure;
        const bool written =
            WriteReplacing(options.prometheusFile,
                           MetricsText({*keys, devices, ended - started, ended}), "metrics file",
                           failure);
        if (!written && !metricsStale) err << failure.str() << std::flush;
        if (written && metricsStale)
          err << "keldar: " << EscapeControls(options.prometheusFile) << ": the metrics file is written again\n"
              << std::flush;
        metricsStale = !written;
        if (written) metricsWritten = ended;
      }
      previous = std::move(*keys);
      previousDevices = devices;
    }
    first = false;
    if (!clock.wait(options.interval)) return 0;
  }
}

}  // namespace keldar::cli
