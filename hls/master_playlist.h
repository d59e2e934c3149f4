// The HLS master playlist that ties one call's renditions together.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/step_failure.h"
#include "hls/rendition_rates.h"

namespace quorvane {

// The URI under which a master playlist at `master_path` reaches the media
// playlist `playlist_name` that a worker wrote into the working directory:
// the bare name when both share a directory, else a relative path.
std::string media_playlist_uri(const std::string& master_path, const std::string& playlist_name);

// A finished rendition as the master playlist states it to players.
struct listed_rendition {
  std::string name;  // the rung: "720p" lists 720p.m3u8
  int32_t width = 0;
  int32_t height = 0;
  rendition_rates rates;     // measured from its files
  std::string video_codec;   // "avc1.64001f", as written; empty when unknown
};

// Writes the master playlist at `path`, replacing any file there; why it
// could not, as the system says. The media playlists lie in `media_folder`,
// the working directory when empty.
std::optional<step_failure> write_master_playlist(const std::string& path,
                                                  const std::vector<listed_rendition>& renditions,
                                                  const std::string& media_folder = "");

// The renditions listed in a master playlist that write_master_playlist
// wrote, read back (a rendition's name from its media playlist's file name);
// empty when the file cannot be read.
std::optional<std::vector<listed_rendition>> read_master_playlist(const std::string& path);

}  // namespace quorvane
