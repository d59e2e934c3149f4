#include "output_collisions.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <utility>

#include "rendition_ladder.h"

namespace quorvane {

namespace {

std::string resolve_existing(const std::string& path) {
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  return resolved ? std::string(resolved.get()) : std::string();
}

std::pair<std::string, std::string> split_folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return {".", path};
  }
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Where writing `path` lands: through every symbolic link, including a last
// one that points at a file not made yet. Empty when its folder is missing.
std::string resolve_for_writing(std::string path) {
  for (int links = 0; links < 40; ++links) {
    std::string resolved = resolve_existing(path);
    if (!resolved.empty()) {
      return resolved;
    }
    const auto [folder, name] = split_folder(path);
    std::string resolved_folder = resolve_existing(folder);
    if (resolved_folder.empty()) {
      return "";
    }
    if (resolved_folder.back() != '/') {
      resolved_folder += '/';
    }
    const std::string candidate = resolved_folder + name;
    char target[PATH_MAX];
    const ssize_t length = readlink(candidate.c_str(), target, sizeof(target));
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof(target))) {
      return candidate;  // not a symbolic link: the file is made under this name
    }
    const std::string link(target, static_cast<size_t>(length));
    path = link.front() == '/' ? link : resolved_folder + link;
  }
  return "";
}

// A segment the HLS muxer writes for `name` with the pattern NAME_%03d.ts:
// its number in decimal, zero-padded to three digits.
bool is_segment_name(const std::string& file, const std::string& name) {
  const std::string prefix = name + "_";
  const std::string suffix = ".ts";
  if (file.size() < prefix.size() + 3 + suffix.size() ||
      file.compare(0, prefix.size(), prefix) != 0 ||
      file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  const std::string number =
      file.substr(prefix.size(), file.size() - prefix.size() - suffix.size());
  const bool digits = std::all_of(number.begin(), number.end(),
                                  [](unsigned char c) { return std::isdigit(c) != 0; });
  return digits && (number.size() == 3 || number.front() != '0');
}

// The HLS muxer writes a media playlist that is not yet complete into
// NAME.m3u8.tmp and renames it over NAME.m3u8 each time.
bool is_rendition_file_name(const written_files& plan, const std::string& file) {
  const auto writes_file = [&file](const std::string& name) {
    return file == name + ".m3u8" || file == name + ".m3u8.tmp" || is_segment_name(file, name);
  };
  return std::any_of(plan.renditions.begin(), plan.renditions.end(), writes_file);
}

bool is_rendition_path(const written_files& plan, const std::string& resolved) {
  if (plan.directory.empty() || resolved.size() <= plan.directory.size() ||
      resolved.compare(0, plan.directory.size(), plan.directory) != 0) {
    return false;
  }
  const std::string file = resolved.substr(plan.directory.size());
  return file.find('/') == std::string::npos && is_rendition_file_name(plan, file);
}

std::optional<file_identity> identity_of(const std::string& path) {
  struct stat status {};
  if (path.empty() || stat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  return file_identity{status.st_dev, status.st_ino};
}

struct directory_closer {
  void operator()(DIR* directory) const noexcept { closedir(directory); }
};

bool is_existing_rendition_file(const written_files& plan, const file_identity& identity) {
  return std::find(plan.existing_rendition_files.begin(), plan.existing_rendition_files.end(),
                   identity) != plan.existing_rendition_files.end();
}

}  // namespace

std::vector<std::string> rendition_names(const std::vector<std::string>& resolution) {
  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const std::string& name : resolution) {
    // The source's orientation does not matter here, only whether the name is in the ladder.
    if (resolve_frame_size(name, 0, 0) && seen.insert(name).second) {
      names.push_back(name);
    }
  }
  return names;
}

written_files plan_written_files(std::vector<std::string> renditions, const std::string& output) {
  written_files plan;
  plan.renditions = std::move(renditions);
  // A working directory that is gone takes no rendition file at all.
  plan.directory = resolve_existing(".");
  if (!plan.directory.empty() && plan.directory.back() != '/') {
    plan.directory += '/';
  }
  plan.master = resolve_for_writing(output);
  plan.existing_master = identity_of(plan.master);
  if (plan.directory.empty()) {
    return plan;
  }
  // Files already there under a rendition's names: another name for any of
  // them (a hard link) is about to be rewritten too.
  const std::unique_ptr<DIR, directory_closer> folder(opendir(plan.directory.c_str()));
  if (!folder) {
    return plan;
  }
  while (const dirent* entry = readdir(folder.get())) {
    const std::string file = entry->d_name;
    if (is_rendition_file_name(plan, file)) {
      if (const std::optional<file_identity> identity = identity_of(plan.directory + file)) {
        plan.existing_rendition_files.push_back(*identity);
      }
    }
  }
  return plan;
}

bool is_written_by_call(const written_files& plan, const std::string& resolved,
                        const file_identity& identity) {
  return resolved == plan.master || (plan.existing_master && *plan.existing_master == identity) ||
         is_rendition_path(plan, resolved) || is_existing_rendition_file(plan, identity);
}

bool master_overwrites_rendition(const written_files& plan) {
  return is_rendition_path(plan, plan.master) ||
         (plan.existing_master && is_existing_rendition_file(plan, *plan.existing_master));
}

}  // namespace quorvane
