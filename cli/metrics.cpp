#include "cli/metrics.h"

#include <cstdio>

namespace keldar::cli {

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

std::string Labels(const KeyView& key) {
  return "{model=\"" + LabelValue(key.model) + "\",vendor_id=\"" + LabelValue(key.vendorId) +
         "\",product_id=\"" + LabelValue(key.productId) + "\",port=\"" + LabelValue(key.port) +
         "\"}";
}

}  // namespace

std::string MetricsText(const Metrics& metrics) {
  std::string text;
  Family(text, "keldar_key_present",
         "A known USB protection key is attached: one series per key, labelled with its model, "
         "IDs and port.");
  for (const KeyView& key : metrics.keys) text += "keldar_key_present" + Labels(key) + " 1\n";
  // A key whose verdict is not known has no series: absent is not "unusable".
  Family(text, "keldar_key_usable",
         "Whether a program of this computer can use the key: 1 or 0, per key as "
         "keldar_key_present labels it; no series while not known.");
  for (const KeyView& key : metrics.keys)
    if (const auto usable = key.verdict.usable)
      text += "keldar_key_usable" + Labels(key) + (*usable ? " 1\n" : " 0\n");
  Family(text, "keldar_usb_devices", "USB devices attached, as the device list lists them.");
  text += "keldar_usb_devices " + std::to_string(metrics.devices) + '\n';
  Family(text, "keldar_detection_duration_seconds", "How long the last detection took.");
  text += "keldar_detection_duration_seconds " + Number(metrics.durationSeconds, 6) + '\n';
  Family(text, "keldar_last_detection_timestamp_seconds",
         "When the last detection ended, in seconds since the Unix epoch.");
  text += "keldar_last_detection_timestamp_seconds " + Number(metrics.timestampSeconds, 3) + '\n';
  return text;
}

}  // namespace keldar::cli
