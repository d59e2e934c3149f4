// The HLS master playlist that ties one call's renditions together.
#pragma once

#include <string>
#include <vector>

#include "rendition_ladder.h"
#include "rendition_rates.h"

namespace quorvane {

// The URI under which a master playlist at `master_path` reaches the media
// playlist `playlist_name` that a worker wrote into the working directory:
// the bare name when both share a directory, else a relative path.
std::string media_playlist_uri(const std::string& master_path, const std::string& playlist_name);

// A finished rendition as the master playlist states it to players.
struct listed_rendition {
  rendition planned;
  rendition_rates rates;     // measured from its files
  std::string video_codec;   // "avc1.64001f", as written; empty when unknown
};

// Writes the master playlist at `path`, replacing any file there. Reports
// nothing: a path that cannot be written leaves no file.
void write_master_playlist(const std::string& path,
                           const std::vector<listed_rendition>& renditions);

}  // namespace quorvane
