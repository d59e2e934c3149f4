// The HLS master playlist that ties one call's renditions together.
#pragma once

#include <string>
#include <vector>

#include "rendition_ladder.h"

namespace quorvane {

// The URI under which a master playlist at `master_path` reaches the media
// playlist `playlist_name` that a worker wrote into the working directory:
// the bare name when both share a directory, else a relative path.
std::string media_playlist_uri(const std::string& master_path, const std::string& playlist_name);

// Writes the master playlist at `path`, replacing any file there. Reports
// nothing: a path that cannot be written leaves no file.
void write_master_playlist(const std::string& path, const std::vector<rendition>& renditions);

}  // namespace quorvane
