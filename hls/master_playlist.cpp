#include "hls/master_playlist.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "hls/output_format.h"

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

namespace {

std::string master_playlist_text(const std::string& path,
                                 const std::vector<listed_rendition>& renditions) {
  // Every rendition's pictures sit on the grid: its rate, as HLS writes it.
  char frame_rate[16] = {};
  std::snprintf(frame_rate, sizeof frame_rate, "%.3f", av_q2d(grid_frame_rate));
  std::ostringstream text;
  // AVERAGE-BANDWIDTH, CODECS and FRAME-RATE need no later version than 3.
  text << "#EXTM3U\n"
       << "#EXT-X-VERSION:3\n";
  for (const listed_rendition& entry : renditions) {
    text << "#EXT-X-STREAM-INF:BANDWIDTH=" << entry.rates.peak
         << ",AVERAGE-BANDWIDTH=" << entry.rates.average;
    if (!entry.video_codec.empty()) {
      text << ",CODECS=\"" << entry.video_codec << ',' << output_audio_codec_name << '"';
    }
    text << ",RESOLUTION=" << entry.width << 'x' << entry.height << ",FRAME-RATE=" << frame_rate
         << '\n'
         << media_playlist_uri(path, media_playlist_name(entry.name)) << '\n';
  }
  return text.str();
}

}  // namespace

std::optional<step_failure> write_master_playlist(
    const std::string& path, const std::vector<listed_rendition>& renditions) {
  const std::string text = master_playlist_text(path, renditions);
  const auto failed = [&path](int error) {
    return step_failure{"writing the master playlist " + path, std::strerror(error)};
  };
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return failed(errno);
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int write_error = errno;
  // Closing flushes the buffer: a full disk shows here.
  if (std::fclose(file) != 0) {
    return failed(errno);
  }
  if (!written) {
    return failed(write_error);
  }
  return std::nullopt;
}

}  // namespace quorvane
