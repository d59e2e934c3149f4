#include "ladder/output_collisions.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <utility>

#include "hls/output_format.h"

namespace quorvane {

namespace {

// Where writing `path` lands: through every symbolic link, including a last
// one that points at a file not made yet. Empty when its folder is missing.
std::string resolve_for_writing(std::string path) {
  for (int links = 0; links < 40; ++links) {
    std::string resolved = resolved_path(path);
    if (!resolved.empty()) {
      return resolved;
    }
    const std::string folder = resolved_folder_of(path);
    if (folder.empty()) {
      return "";
    }
    const size_t slash = path.rfind('/');
    const std::string candidate = folder + (slash == std::string::npos ? path : path.substr(slash + 1));
    const std::string link = link_target(candidate);
    if (link.empty()) {
      return candidate;  // not a symbolic link: the file is made under this name
    }
    path = link.front() == '/' ? link : folder + link;
  }
  return "";
}

// A segment the HLS muxer writes for `name` with the pattern NAME_%03d.ts:
// its number in decimal, zero-padded to three digits.
bool is_segment_name(const std::string& file, const std::string& name) {
  const std::string prefix = name + "_";
  const std::string suffix = segment_extension;
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

// The rendition that writes `file` in the working directory; empty for none.
// The HLS muxer writes a media playlist that is not yet complete into
// NAME.m3u8.tmp and renames it over NAME.m3u8 each time.
std::string rendition_writing(const written_files& plan, const std::string& file) {
  const auto writes_file = [&file](const std::string& name) {
    const std::string playlist = media_playlist_name(name);
    return file == playlist || file == playlist + ".tmp" || is_segment_name(file, name);
  };
  const auto found = std::find_if(plan.renditions.begin(), plan.renditions.end(), writes_file);
  return found != plan.renditions.end() ? *found : std::string();
}

// The file name within the working directory of `resolved`; empty when it
// lies elsewhere.
std::string name_in_directory(const written_files& plan, const std::string& resolved) {
  if (plan.directory.empty() || resolved.size() <= plan.directory.size() ||
      resolved.compare(0, plan.directory.size(), plan.directory) != 0) {
    return "";
  }
  const std::string file = resolved.substr(plan.directory.size());
  return file.find('/') == std::string::npos ? file : std::string();
}

bool is_rendition_path(const written_files& plan, const std::string& resolved) {
  return !rendition_writing(plan, name_in_directory(plan, resolved)).empty();
}

struct directory_closer {
  void operator()(DIR* directory) const noexcept { closedir(directory); }
};

const existing_file* existing_rendition_file(const written_files& plan,
                                             const file_identity& identity) {
  const auto found = std::find_if(
      plan.existing_rendition_files.begin(), plan.existing_rendition_files.end(),
      [&identity](const existing_file& file) { return file.identity == identity; });
  return found != plan.existing_rendition_files.end() ? &*found : nullptr;
}

}  // namespace

written_files plan_written_files(std::vector<std::string> renditions, const std::string& output) {
  written_files plan;
  plan.renditions = std::move(renditions);
  // A working directory that is gone takes no rendition file at all.
  plan.directory = resolved_path(".");
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
    if (!rendition_writing(plan, file).empty()) {
      if (const std::optional<file_identity> identity = identity_of(plan.directory + file)) {
        plan.existing_rendition_files.push_back(existing_file{file, *identity});
      }
    }
  }
  return plan;
}

bool is_written_by_call(const written_files& plan, const std::string& resolved,
                        const file_identity& identity) {
  return resolved == plan.master || (plan.existing_master && *plan.existing_master == identity) ||
         is_rendition_path(plan, resolved) || existing_rendition_file(plan, identity) != nullptr;
}

std::optional<step_failure> master_collision(const written_files& plan) {
  const std::string name = name_in_directory(plan, plan.master);
  const std::string writer = rendition_writing(plan, name);
  if (!writer.empty()) {
    return step_failure{output_refused_step, "the master playlist " + plan.master +
                                                 " would overwrite " + name + ", which rendition " +
                                                 writer + " writes"};
  }
  const existing_file* same =
      plan.existing_master ? existing_rendition_file(plan, *plan.existing_master) : nullptr;
  if (same != nullptr) {
    return step_failure{output_refused_step,
                        "the master playlist " + plan.master + " is another name for " +
                            same->name + ", which rendition " +
                            rendition_writing(plan, same->name) + " writes"};
  }
  return std::nullopt;
}

}  // namespace quorvane
