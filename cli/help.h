// `keldar --help` as the tools beside it print theirs: usage first, the options in groups, each
// description wrapped at 80 columns beside its option, and the rules between options said once
// in words below them rather than as the parser's annotations on each.
#pragma once

#include <memory>

#include <CLI/CLI.hpp>

namespace keldar::cli {

inline constexpr const char* kHelpGroupSources =
    "Sources (one at most; without one, this computer's USB)";
inline constexpr const char* kHelpGroupOutput = "Output";
inline constexpr const char* kHelpGroupWatch = "Watch";
inline constexpr const char* kHelpGroupScripts = "Scripts";

// Paragraphs below the options, one per line here; the formatter wraps them.
inline constexpr const char* kHelpFooter =
    "--watch excludes --export, --details and --expect-key; --interval needs --watch. "
    "--prometheus may not name the file of --topology or --export.\n"
    "FILE to read is a regular file (a pipe or a device is refused, never waited on). A FILE "
    "written is replaced whole (a temporary file beside it, renamed over it); a symbolic link "
    "stays and the file it leads to is replaced; a device such as /dev/stdout is written in "
    "place.\n"
    "Exit status: 0 after a detection (also --help, --version, and a watch ended by Ctrl-C or "
    "SIGTERM); 2 for a usage error, an unreadable or malformed topology file, or a sysfs root "
    "without a USB tree; 3 with --expect-key when no known key was found (e.g. keldar "
    "--expect-key >/dev/null || echo 'no key'); 4 with --expect-key when keys were found "
    "and none of them is usable; 1 for anything else.";

std::shared_ptr<CLI::Formatter> HelpFormatter();

}  // namespace keldar::cli
