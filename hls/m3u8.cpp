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

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A tag's attribute list (what follows its colon) read as FFmpeg's HLS
// demuxer reads it (ff_parse_key_value): NAME=VALUE after any blanks and
// commas; a quoted value runs to its closing quote, a backslash taking the
// next character as it is; a bare value runs to a blank or a comma. The
// demuxer opens what this reading names, so the checks must read the same.
std::vector<std::pair<std::string, std::string>> attribute_list(const std::string& attributes) {
  std::vector<std::pair<std::string, std::string>> list;
  size_t at = 0;
  for (;;) {
    while (at < attributes.size() && (is_blank(attributes[at]) || attributes[at] == ',')) {
      ++at;
    }
    const size_t equals = attributes.find('=', at);
    if (equals == std::string::npos) {
      return list;
    }
    std::string name = attributes.substr(at, equals - at);
    std::string value;
    at = equals + 1;
    if (at < attributes.size() && attributes[at] == '"') {
      for (++at; at < attributes.size() && attributes[at] != '"';) {
        if (attributes[at] != '\\') {
          value += attributes[at++];
        } else if (at + 1 < attributes.size()) {
          value += attributes[at + 1];
          at += 2;
        } else {
          break;
        }
      }
      at += at < attributes.size() && attributes[at] == '"' ? 1 : 0;
    } else {
      for (; at < attributes.size() && !is_blank(attributes[at]) && attributes[at] != ','; ++at) {
        value += attributes[at];
      }
    }
    list.emplace_back(std::move(name), std::move(value));
  }
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

bool names_playlists(const std::string& line) {
  return starts_with(line, "#EXT-X-STREAM-INF:") || starts_with(line, "#EXT-X-MEDIA:") ||
         starts_with(line, "#EXT-X-I-FRAME-STREAM-INF:");
}

std::vector<std::string> m3u8_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(std::string("\n\r\0", 3), start);
    end = end == std::string::npos ? text.size() : end;
    std::string line = text.substr(start, end - start);
    line.erase(line.find_last_not_of(" \t\r\n\f\v") + 1);
    if (!line.empty()) {
      lines.push_back(std::move(line));
    }
    start = end + 1;
  }
  return lines;
}

m3u8_playlist read_m3u8(FILE* text) {
  m3u8_playlist playlist;
  bool variant_follows = false;  // the next line names a media playlist
  std::string variant_attributes;
  double segment_seconds = -1;   // the EXTINF of the segment whose line comes next
  bool segment_listed = false;
  line_buffer buffer;
  ssize_t length = 0;
  while ((length = getline(&buffer.data, &buffer.capacity, text)) >= 0) {
    for (std::string& line : m3u8_lines(std::string(buffer.data, static_cast<size_t>(length)))) {
      if (line[0] != '#') {
        m3u8_reference& reference = playlist.references.emplace_back();
        reference.uri = std::move(line);
        reference.playlist = variant_follows;
        reference.seconds = segment_seconds;
        segment_listed = segment_listed || !variant_follows;
        if (variant_follows) {
          reference.tag = "#EXT-X-STREAM-INF";
          reference.attributes = std::move(variant_attributes);
        }
        variant_follows = false;
        segment_seconds = -1;
        continue;
      }
      if (line == "#EXT-X-ENDLIST") {
        // FFmpeg's demuxer marks the end on the playlist it has begun, which
        // may not be before the first segment.
        playlist.ended = playlist.ended || segment_listed;
      } else if (starts_with(line, "#EXTINF:")) {
        segment_seconds = extinf_seconds(line.c_str() + 8);
      } else if (starts_with(line, "#EXT-X-MEDIA-SEQUENCE:")) {
        playlist.media_sequence = std::strtoll(line.c_str() + 22, nullptr, 10);
      }
      const bool names_further = names_playlists(line);
      std::pair<std::string, std::string> tag = split_tag(line);
      for (auto& [name, value] : attribute_list(tag.second)) {
        if (name != "URI") {
          continue;
        }
        m3u8_reference& reference = playlist.references.emplace_back();
        reference.uri = std::move(value);
        reference.playlist = names_further;
        reference.attribute = true;
        reference.tag = tag.first;
        reference.attributes = tag.second;
      }
      if (starts_with(line, "#EXT-X-STREAM-INF:")) {
        variant_follows = true;
        variant_attributes = std::move(tag.second);
      }
    }
  }
  return playlist;
}

std::optional<std::string> m3u8_attribute(const std::string& attributes, const std::string& name) {
  // As FFmpeg's demuxer, the last of a repeated attribute holds.
  std::optional<std::string> value;
  for (auto& [key, given] : attribute_list(attributes)) {
    if (key == name) {
      value = std::move(given);
    }
  }
  return value;
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
