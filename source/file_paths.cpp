#include "source/file_paths.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>

namespace quorvane {

std::optional<file_identity> identity_of(const std::string& path) {
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return identity_of(status);
}

std::string resolved_path(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? std::string(resolved.get()) : std::string();
}

std::string resolved_folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string folder = resolved_path(slash == std::string::npos ? "." : path.substr(0, slash + 1));
  if (!folder.empty() && folder.back() != '/') {
    folder += '/';
  }
  return folder;
}

std::string link_target(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), target, sizeof(target));
  if (length <= 0 || length >= static_cast<ssize_t>(sizeof(target))) {
    return "";
  }
  return std::string(target, static_cast<size_t>(length));
}

std::string descriptor_path(int descriptor) {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

std::string descriptor_target(int descriptor) { return link_target(descriptor_path(descriptor)); }

std::string file_kind(const struct stat& status) {
  switch (status.st_mode & S_IFMT) {
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a folder";
    case S_IFIFO: return "a named pipe";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    case S_IFSOCK: return "a socket";
    default: return "not a regular file";
  }
}

}  // namespace quorvane
