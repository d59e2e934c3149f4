// Whether a media playlist the HLS muxer finished can be played.
#pragma once

#include <string>

namespace quorvane {

// True when the playlist at `path` ends with #EXT-X-ENDLIST and every segment
// it lists exists and is not empty. The muxer can finish a playlist whose
// segments it failed to open (a bad IV in the key-info file, a full disk)
// without reporting an error.
bool media_playlist_complete(const std::string& path);

}  // namespace quorvane
