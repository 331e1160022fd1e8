// How the console writes the files it is asked to (--export, --prometheus): one way for all.
//
// A regular file, or one that does not exist yet, is replaced whole: the text goes to a new
// file beside it (".NAME.keldar-NNNNNN.tmp": hidden, and not *.prom, so that the node
// exporter's collector never reads it), is flushed to the disk, then renamed over it. A reader
// sees the old file or the new one, never half of one, and a failed write leaves the old one.
// A symbolic link stays a link: the file it leads to is replaced (created when missing), in
// that file's folder. A device, a pipe, or a descriptor the program was given (/dev/stdout,
// /dev/null, /dev/fd/3) cannot be replaced: it is written in place.
#pragma once

#include <cstdio>
#include <ostream>
#include <string>

namespace keldar::cli {

// Replaces or writes `path` as above. On failure one line on `err`, naming the file and `what`
// it is ("keldar: out.json: cannot write the topology file: No such file or directory"), and
// false.
bool WriteReplacing(const std::string& path, const std::string& text,
                    const std::string& what, std::ostream& err);

// Whether writing `written` would replace the file `other` names: the same file (device and
// inode) when both exist, else the same path once links are followed. What is written in
// place replaces nothing.
bool WouldReplace(const std::string& written, const std::string& other);

// What differs by system, one file each (file_system_posix.cpp, file_system_win32.cpp):
// flushing what the system holds of `file` to the disk (false when it cannot),
bool SyncToDisk(std::FILE* file);
// and opening an existing device or pipe to be written as it is, without waiting for a reader
// (null with errno set when it cannot be opened now).
std::FILE* OpenInPlace(const char* path);

}  // namespace keldar::cli
