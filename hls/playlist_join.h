// Joins the media playlists the HLS muxer wrote for consecutive stretches of
// one rendition (a ladder encoded in time windows, each numbering its
// segments on from where the one before it ends) into the playlist one call
// over the whole file writes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quorvane {

// One part's text, and the name its refusals give it (its path).
struct playlist_text {
  std::string name;
  std::string text;
};

// The joined playlist's text, or why the parts do not make one playlist.
struct joined_playlist {
  std::string text;
  std::string refused;  // empty when the parts joined
};

// Joins the parts, in time order: the first part's header with the longest
// target duration of all parts, every part's segments in order, a key line
// only where the key or its IV changes, one #EXT-X-ENDLIST, no
// discontinuity. Refused when a part is unfinished or lists no segment, when
// its segments do not follow on from the part before it (media sequence and
// segment numbers), when the parts' headers or keys disagree, or when a part
// holds a line the muxer does not write between segments.
joined_playlist join_media_playlist_texts(const std::vector<playlist_text>& parts);

struct playlist_join_failure {
  bool refused = false;  // the parts do not join; false: reading or writing failed
  std::string reason;
};

// Reads the playlists at `parts`, joins them and writes the result at
// `output`, replacing any file there.
std::optional<playlist_join_failure> join_media_playlists(const std::vector<std::string>& parts,
                                                          const std::string& output);

}  // namespace quorvane
