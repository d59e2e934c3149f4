#include "hls/master_playlist.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "hls/m3u8.h"
#include "hls/output_format.h"

namespace fs = std::filesystem;

namespace quorvane {

namespace {

// The URI of `playlist_name` in `media_folder` from a master playlist at
// `master_path`: the bare name when both share a folder, else a relative path.
std::string playlist_uri_from(const std::string& master_path, const fs::path& media_folder,
                              const std::string& playlist_name) {
  std::error_code error;
  const fs::path master_directory = fs::absolute(fs::path(master_path), error).parent_path();
  if (error) {
    return playlist_name;
  }
  const fs::path from = fs::weakly_canonical(master_directory, error);
  if (error) {
    return playlist_name;
  }
  const fs::path to = fs::weakly_canonical(media_folder, error);
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

}  // namespace

std::string media_playlist_uri(const std::string& master_path, const std::string& playlist_name) {
  std::error_code error;
  const fs::path working_directory = fs::current_path(error);
  if (error) {
    return playlist_name;
  }
  return playlist_uri_from(master_path, working_directory, playlist_name);
}

namespace {

std::string master_playlist_text(const std::string& path,
                                 const std::vector<listed_rendition>& renditions,
                                 const std::string& media_folder) {
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
         << (media_folder.empty()
                 ? media_playlist_uri(path, media_playlist_name(entry.name))
                 : playlist_uri_from(path, media_folder, media_playlist_name(entry.name)))
         << '\n';
  }
  return text.str();
}

int64_t whole_attribute(const std::string& attributes, const char* name) {
  const std::optional<std::string> value = m3u8_attribute(attributes, name);
  return value ? std::strtoll(value->c_str(), nullptr, 10) : 0;
}

listed_rendition listed_from(const m3u8_reference& variant) {
  listed_rendition entry;
  entry.name = fs::path(variant.uri).filename().replace_extension().string();
  entry.rates.peak = whole_attribute(variant.attributes, "BANDWIDTH");
  entry.rates.average = whole_attribute(variant.attributes, "AVERAGE-BANDWIDTH");
  if (const std::optional<std::string> size = m3u8_attribute(variant.attributes, "RESOLUTION")) {
    char* height = nullptr;
    entry.width = static_cast<int32_t>(std::strtol(size->c_str(), &height, 10));
    entry.height = *height == 'x' ? static_cast<int32_t>(std::strtol(height + 1, nullptr, 10)) : 0;
  }
  if (const std::optional<std::string> codecs = m3u8_attribute(variant.attributes, "CODECS")) {
    entry.video_codec = codecs->substr(0, codecs->find(','));
  }
  return entry;
}

}  // namespace

std::optional<std::vector<listed_rendition>> read_master_playlist(const std::string& path) {
  const std::optional<m3u8_playlist> playlist = read_m3u8_file(path);
  if (!playlist) {
    return std::nullopt;
  }
  std::vector<listed_rendition> renditions;
  for (const m3u8_reference& reference : playlist->references) {
    if (reference.playlist && !reference.attribute) {
      renditions.push_back(listed_from(reference));
    }
  }
  return renditions;
}

std::optional<step_failure> write_master_playlist(const std::string& path,
                                                  const std::vector<listed_rendition>& renditions,
                                                  const std::string& media_folder) {
  const std::string text = master_playlist_text(path, renditions, media_folder);
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
