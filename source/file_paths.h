// Where a path or an open descriptor really leads, for the rules that judge
// files by what they are rather than by how they are named: the input rules
// (input_guard.cpp) and the driver's output-collision rule.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace quorvane {

// A file, whatever name reaches it (hard links, symbolic links, /proc).
struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const file_identity& other) const {
    return device == other.device && inode == other.inode;
  }
};

inline file_identity identity_of(const struct stat& status) {
  return file_identity{status.st_dev, status.st_ino};
}

// The identity of what `path` leads to; empty when nothing is there.
std::optional<file_identity> identity_of(const std::string& path);

// `path` absolute, with every symbolic link resolved (realpath); empty when
// it leads nowhere.
std::string resolved_path(const std::string& path);

// The folder holding `path` (its text up to the last '/', else "."),
// resolved and ending in '/'; empty when it cannot be resolved.
std::string resolved_folder_of(const std::string& path);

// The text of the symbolic link at `path` (readlink); empty when `path` is
// not a symbolic link.
std::string link_target(const std::string& path);

// The name under which /proc shows an open descriptor of this process.
std::string descriptor_path(int descriptor);

// What an open descriptor really holds, with every link resolved: the
// target of its /proc entry, which no rename or new link made after the
// open can change. Empty when it cannot be read.
std::string descriptor_target(int descriptor);

// "a folder", "a named pipe", ... for a status that is not a regular file.
std::string file_kind(const struct stat& status);

}  // namespace quorvane
