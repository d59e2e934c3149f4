#include "ladder/rendition_ladder.h"

#include <set>

namespace quorvane {

namespace {

const ladder_row* find_row(const std::string& name) {
  for (const ladder_row& row : rendition_ladder) {
    if (name == row.name) {
      return &row;
    }
  }
  return nullptr;
}

}  // namespace

int32_t default_bitrate(const std::string& name) {
  const ladder_row* row = find_row(name);
  return row != nullptr ? row->default_bitrate : unlisted_default_bitrate;
}

std::vector<std::string> default_resolution() {
  std::vector<std::string> names;
  for (const ladder_row& row : rendition_ladder) {
    names.emplace_back(row.name);
  }
  return names;
}

std::vector<int32_t> default_bitrates() {
  std::vector<int32_t> bitrates;
  for (const ladder_row& row : rendition_ladder) {
    bitrates.push_back(row.default_bitrate);
  }
  return bitrates;
}

void fill_missing_bitrates(const std::vector<std::string>& names, std::vector<int32_t>& bitrates) {
  while (bitrates.size() < names.size()) {
    bitrates.push_back(default_bitrate(names[bitrates.size()]));
  }
}

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

std::optional<frame_size> resolve_frame_size(const std::string& name, int32_t source_width,
                                             int32_t source_height) {
  const ladder_row* row = find_row(name);
  if (row == nullptr) {
    return std::nullopt;
  }
  if (source_width >= source_height) {
    return frame_size{row->width, row->height};
  }
  return frame_size{row->height, row->width};
}

}  // namespace quorvane
