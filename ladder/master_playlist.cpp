#include "master_playlist.h"

#include <filesystem>
#include <fstream>

#include "ladder_driver.h"

namespace fs = std::filesystem;

namespace quorvane {

std::string media_playlist_uri(const std::string& master_path, const std::string& playlist_name) {
  std::error_code error;
  const fs::path working_directory = fs::current_path(error);
  if (error) {
    return playlist_name;
  }
  const fs::path master_directory = fs::absolute(fs::path(master_path), error).parent_path();
  if (error) {
    return playlist_name;
  }
  const fs::path from = fs::weakly_canonical(master_directory, error);
  if (error) {
    return playlist_name;
  }
  const fs::path to = fs::weakly_canonical(working_directory, error);
  if (error || from == to) {
    return playlist_name;
  }
  const fs::path relative = fs::relative(to / playlist_name, from, error);
  if (error || relative.empty()) {
    // No relative route (another root); the absolute path still works.
    return (to / playlist_name).generic_string();
  }
  return relative.generic_string();
}

void write_master_playlist(const std::string& path,
                           const std::vector<listed_rendition>& renditions) {
  std::ofstream file(path, std::ios::out | std::ios::trunc);
  // AVERAGE-BANDWIDTH, CODECS and FRAME-RATE need no later version than 3.
  file << "#EXTM3U\n"
       << "#EXT-X-VERSION:3\n";
  for (const listed_rendition& entry : renditions) {
    file << "#EXT-X-STREAM-INF:BANDWIDTH=" << entry.rates.peak
         << ",AVERAGE-BANDWIDTH=" << entry.rates.average;
    if (!entry.video_codec.empty()) {
      file << ",CODECS=\"" << entry.video_codec << ",mp4a.40.2\"";
    }
    // Every rendition's pictures sit on the 1/30 s grid.
    file << ",RESOLUTION=" << entry.planned.width << 'x' << entry.planned.height
         << ",FRAME-RATE=30.000\n"
         << media_playlist_uri(path, rendition_playlist_name(entry.planned.name)) << '\n';
  }
}

}  // namespace quorvane
