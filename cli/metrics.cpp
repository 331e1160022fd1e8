#include "cli/metrics.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

#include "text/utf8.h"

namespace keldar::cli {

namespace fs = std::filesystem;

namespace {

// Label values escape backslash, double quote and line feed; nothing else.
std::string LabelValue(const std::string& text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\')
      escaped += "\\\\";
    else if (c == '"')
      escaped += "\\\"";
    else if (c == '\n')
      escaped += "\\n";
    else
      escaped += c;
  }
  return escaped;
}

std::string Number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

void Family(std::string& text, const char* name, const char* help) {
  text += std::string("# HELP ") + name + ' ' + help + '\n';
  text += std::string("# TYPE ") + name + " gauge\n";
}

}  // namespace

std::string MetricsText(const Metrics& metrics) {
  std::string text;
  Family(text, "keldar_key_present",
         "A known USB protection key is attached: one series per key, labelled with its model, "
         "IDs and port.");
  for (const KeyView& key : metrics.keys) {
    text += "keldar_key_present{model=\"" + LabelValue(key.model) + "\",vendor_id=\"" +
            LabelValue(key.vendorId) + "\",product_id=\"" + LabelValue(key.productId) +
            "\",port=\"" + LabelValue(key.port) + "\"} 1\n";
  }
  Family(text, "keldar_usb_devices", "USB devices attached, as the device list lists them.");
  text += "keldar_usb_devices " + std::to_string(metrics.devices) + '\n';
  Family(text, "keldar_detection_duration_seconds", "How long the last detection took.");
  text += "keldar_detection_duration_seconds " + Number(metrics.durationSeconds, 6) + '\n';
  Family(text, "keldar_last_detection_timestamp_seconds",
         "When the last detection ended, in seconds since the Unix epoch.");
  text += "keldar_last_detection_timestamp_seconds " + Number(metrics.timestampSeconds, 3) + '\n';
  return text;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::ostream& err) {
  const fs::path target(path);
  // The collector reads only *.prom: the temporary name ends otherwise.
  std::random_device random;
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) about "." + a temporary string
  // in 32-bit builds.
  std::string name = ".";
  name += target.filename().string();
  name += '.';
  name += std::to_string(random() % 1000000);
  name += ".tmp";
  const fs::path temporary = target.parent_path() / name;
  std::error_code error;
  {
    errno = 0;
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (file) file.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (file) file.close();
    if (!file) error = std::error_code(errno != 0 ? errno : EIO, std::generic_category());
  }
  if (!error) fs::rename(temporary, target, error);
  if (!error) return true;
  std::error_code ignored;
  fs::remove(temporary, ignored);
  err << "keldar: " << EscapeControls(path) << ": cannot write the metrics file: "
      << error.message() << '\n';
  return false;
}

}  // namespace keldar::cli
