#include "hls/m3u8.h"

#include <stdlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

#include "ffmpeg/ffmpeg_handles.h"

namespace quorvane {

namespace {

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The values of a tag line's URI="..." attributes.
std::vector<std::string> uri_attributes(const std::string& line) {
  std::vector<std::string> values;
  const std::string name = "URI=\"";
  for (size_t at = line.find(name); at != std::string::npos; at = line.find(name, at + 1)) {
    if (at == 0 || (line[at - 1] != ':' && line[at - 1] != ',')) {
      continue;  // the end of another attribute's name
    }
    const size_t start = at + name.size();
    const size_t end = line.find('"', start);
    values.push_back(line.substr(start, end == std::string::npos ? std::string::npos : end - start));
  }
  return values;
}

// The tag's name and its attribute list: "#EXT-X-KEY" and "METHOD=...".
std::pair<std::string, std::string> split_tag(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) {
    return {line, ""};
  }
  return {line.substr(0, colon), line.substr(colon + 1)};
}

// getline's buffer, which it grows as it goes; freed however reading ends.
struct line_buffer {
  char* data = nullptr;
  size_t capacity = 0;
  line_buffer() = default;
  line_buffer(const line_buffer&) = delete;
  line_buffer& operator=(const line_buffer&) = delete;
  ~line_buffer() { free(data); }
};

}  // namespace

double extinf_seconds(const char* value) {
  // Not NaN, an infinity or a negative time.
  const double seconds = std::strtod(value, nullptr);
  return std::isfinite(seconds) && seconds >= 0 ? seconds : -1;
}

m3u8_playlist read_m3u8(FILE* text) {
  m3u8_playlist playlist;
  bool variant_follows = false;  // the next line names a media playlist
  std::string variant_attributes;
  double segment_seconds = -1;   // the EXTINF of the segment whose line comes next
  line_buffer buffer;
  ssize_t length = 0;
  while ((length = getline(&buffer.data, &buffer.capacity, text)) >= 0) {
    std::string line(buffer.data, static_cast<size_t>(length));
    line.erase(line.find_last_not_of(" \t\r\n\f\v") + 1);
    if (line.empty()) {
      continue;
    }
    if (line[0] != '#') {
      m3u8_reference& reference = playlist.references.emplace_back();
      reference.uri = std::move(line);
      reference.playlist = variant_follows;
      reference.seconds = segment_seconds;
      if (variant_follows) {
        reference.tag = "#EXT-X-STREAM-INF";
        reference.attributes = std::move(variant_attributes);
      }
      variant_follows = false;
      segment_seconds = -1;
      continue;
    }
    if (line == "#EXT-X-ENDLIST") {
      playlist.ended = true;
    } else if (starts_with(line, "#EXTINF:")) {
      segment_seconds = extinf_seconds(line.c_str() + 8);
    } else if (starts_with(line, "#EXT-X-MEDIA-SEQUENCE:")) {
      playlist.media_sequence = std::strtoll(line.c_str() + 22, nullptr, 10);
    }
    // #EXT-X-MEDIA and #EXT-X-I-FRAME-STREAM-INF name further playlists.
    const bool names_playlists =
        starts_with(line, "#EXT-X-MEDIA:") || starts_with(line, "#EXT-X-I-FRAME-STREAM-INF:");
    std::pair<std::string, std::string> tag = split_tag(line);
    for (std::string& uri : uri_attributes(line)) {
      m3u8_reference& reference = playlist.references.emplace_back();
      reference.uri = std::move(uri);
      reference.playlist = names_playlists;
      reference.attribute = true;
      reference.tag = tag.first;
      reference.attributes = tag.second;
    }
    if (starts_with(line, "#EXT-X-STREAM-INF:")) {
      variant_follows = true;
      variant_attributes = std::move(tag.second);
    }
  }
  return playlist;
}

std::optional<std::string> m3u8_attribute(const std::string& attributes, const std::string& name) {
  // Attributes are NAME=VALUE separated by commas; a quoted value may hold commas.
  size_t at = 0;
  while (at < attributes.size()) {
    const size_t equals = attributes.find('=', at);
    if (equals == std::string::npos) {
      return std::nullopt;
    }
    const std::string key = attributes.substr(at, equals - at);
    size_t end = equals + 1;
    std::string value;
    if (end < attributes.size() && attributes[end] == '"') {
      const size_t close = attributes.find('"', end + 1);
      value = attributes.substr(end + 1, close == std::string::npos ? std::string::npos
                                                                     : close - end - 1);
      end = close == std::string::npos ? attributes.size() : close + 1;
    } else {
      const size_t comma = attributes.find(',', end);
      value = attributes.substr(end, comma == std::string::npos ? std::string::npos : comma - end);
      end = comma == std::string::npos ? attributes.size() : comma;
    }
    if (key == name) {
      return value;
    }
    at = end + 1;  // past the comma
  }
  return std::nullopt;
}

std::optional<m3u8_playlist> read_m3u8_file(const std::string& path) {
  const file_ptr text(std::fopen(path.c_str(), "r"));
  if (!text) {
    return std::nullopt;
  }
  return read_m3u8(text.get());
}

std::optional<media_playlist_files> read_media_playlist(const std::string& path) {
  const std::optional<m3u8_playlist> playlist = read_m3u8_file(path);
  if (!playlist) {
    return std::nullopt;
  }
  const fs::path folder = fs::path(path).parent_path();
  media_playlist_files files;
  files.ended = playlist->ended;
  for (const m3u8_reference& reference : playlist->references) {
    if (!is_segment(reference)) {
      continue;
    }
    std::error_code error;
    const uintmax_t bytes = fs::file_size(folder / reference.uri, error);
    if (error) {
      return std::nullopt;
    }
    files.segments.push_back(segment_file{reference.seconds, bytes});
  }
  return files;
}

}  // namespace quorvane
