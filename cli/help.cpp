#include "cli/help.h"

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace keldar::cli {

namespace {

constexpr std::size_t kWidth = 80;
constexpr std::size_t kDescriptionColumn = 24;

// `text` wrapped at kWidth columns, every line after the first indented by `indent`; the
// first line continues a line already `used` columns wide.
std::string Wrapped(std::string_view text, std::size_t used, std::size_t indent) {
  std::string wrapped;
  std::size_t column = used;
  bool lineStart = true;
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    if (!lineStart && column + 1 + word.size() > kWidth) {
      wrapped += '\n' + std::string(indent, ' ');
      column = indent;
      lineStart = true;
    }
    if (!lineStart) {
      wrapped += ' ';
      ++column;
    }
    wrapped += word;
    column += word.size();
    lineStart = false;
  }
  return wrapped;
}

class Help : public CLI::Formatter {
 public:
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    return "Usage: " + name + " [OPTIONS]\n" + app->get_description() + "\n\n" +
           make_groups(app, mode) + "\n" + make_footer(app);
  }

  // The groups are set apart by one blank line, which make_groups puts between them.
  std::string make_group(std::string group, bool positional,
                         std::vector<const CLI::Option*> options) const override {
    std::string text = group + ":\n";
    for (const CLI::Option* option : options) text += make_option(option, positional);
    return text;
  }

  std::string make_option(const CLI::Option* option, bool /*positional*/) const override {
    std::string name = "  " + option->get_name(false, true);
    if (const std::size_t comma = name.find(','); comma != std::string::npos)
      name.insert(comma + 1, " ");
    if (!option->get_type_name().empty()) name += " " + option->get_type_name();
    if (name.size() + 2 > kDescriptionColumn)
      name += "\n" + std::string(kDescriptionColumn, ' ');
    else
      name += std::string(kDescriptionColumn - name.size(), ' ');
    return name +
           Wrapped(option->get_description(), kDescriptionColumn, kDescriptionColumn) + "\n";
  }

  std::string make_footer(const CLI::App* app) const override {
    std::istringstream paragraphs(app->get_footer());
    std::string footer;
    for (std::string paragraph; std::getline(paragraphs, paragraph);)
      footer += (footer.empty() ? "" : "\n") + Wrapped(paragraph, 0, 0) + "\n";
    return footer;
  }
};

}  // namespace

std::shared_ptr<CLI::Formatter> HelpFormatter() { return std::make_shared<Help>(); }

}  // namespace keldar::cli
