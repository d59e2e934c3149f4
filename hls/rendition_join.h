// One rendition written in windows of time (each window's muxer numbering
// its segments as the whole file's), joined into what one call over the
// whole file writes: the windows' playlists as one, the segments' MPEG-TS
// continuity counters following on across the seams, and the rates measured
// for the master playlist.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "hls/playlist_join.h"
#include "hls/rendition_rates.h"

namespace quorvane {

// Joins the windows' media playlists `parts` (in time order) into `output`,
// whose folder holds every segment they list, and rewrites those segments'
// counters (decrypted and encrypted again with the key of `key_info_path`,
// one segment at a time, each replaced in one rename, so that a join cut
// short and run again ends as one run does). The joined rendition's rates,
// or why it could not be joined.
std::variant<rendition_rates, playlist_join_failure> join_rendition_windows(
    const std::vector<std::string>& parts, const std::string& output,
    const std::string& key_info_path);

}  // namespace quorvane
