#include "hls/playlist_check.h"

#include <algorithm>
#include <optional>

#include "hls/m3u8.h"

namespace quorvane {

bool media_playlist_complete(const std::string& path) {
  const std::optional<media_playlist_files> playlist = read_media_playlist(path);
  return playlist && playlist->ended && !playlist->segments.empty() &&
         std::all_of(playlist->segments.begin(), playlist->segments.end(),
                     [](const segment_file& segment) { return segment.bytes > 0; });
}

}  // namespace quorvane
