#include "hls/rendition_join.h"

#include <optional>

#include "hls/key_info.h"
#include "hls/m3u8.h"
#include "hls/transport_counters.h"

namespace quorvane {

namespace {

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

playlist_join_failure unreadable(std::string reason) { return {false, std::move(reason)}; }

// Makes the counters of the segments `part` lists (found in `folder`) follow
// on from `counters`.
std::optional<playlist_join_failure> continue_part_counters(const std::string& part,
                                                            const std::string& folder,
                                                            const aes_block& key,
                                                            transport_counters& counters) {
  const std::optional<m3u8_playlist> playlist = read_m3u8_file(part);
  if (!playlist) {
    return unreadable(part + ": cannot be read");
  }
  std::optional<std::string> key_iv;
  bool keyed = false;
  int64_t sequence = playlist->media_sequence;
  for (const m3u8_reference& reference : playlist->references) {
    if (reference.tag == "#EXT-X-KEY") {
      key_iv = m3u8_attribute(reference.attributes, "IV");
      keyed = true;
      continue;
    }
    if (!is_segment(reference)) {
      continue;
    }
    const std::optional<aes_block> iv = segment_iv(key_iv, sequence++);
    if (!keyed || !iv) {
      return playlist_join_failure{true, part + ": its segments are not encrypted as the muxer "
                                                "encrypts them"};
    }
    if (std::optional<std::string> failed =
            continue_counters({folder + reference.uri}, key, *iv, counters)) {
      return unreadable(*failed);
    }
  }
  return std::nullopt;
}

}  // namespace

std::variant<rendition_rates, playlist_join_failure> join_rendition_windows(
    const std::vector<std::string>& parts, const std::string& output,
    const std::string& key_info_path) {
  std::variant<key_info, std::string> info = read_key_info(key_info_path);
  if (const std::string* failed = std::get_if<std::string>(&info)) {
    return unreadable(*failed);
  }
  std::variant<aes_block, std::string> key = read_key(std::get<key_info>(info).key_file);
  if (const std::string* failed = std::get_if<std::string>(&key)) {
    return unreadable(*failed);
  }
  if (std::optional<playlist_join_failure> failed = join_media_playlists(parts, output)) {
    return *failed;
  }
  transport_counters counters;
  for (const std::string& part : parts) {
    if (std::optional<playlist_join_failure> failed = continue_part_counters(
            part, folder_of(output), std::get<aes_block>(key), counters)) {
      return *failed;
    }
  }
  const std::optional<rendition_rates> rates = measure_rendition_rates(output);
  if (!rates) {
    return unreadable(output + ": its segments cannot be measured");
  }
  return *rates;
}

}  // namespace quorvane
