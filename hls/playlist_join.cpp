#include "hls/playlist_join.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "hls/m3u8.h"

#include "ffmpeg/ffmpeg_handles.h"

namespace quorvane {

namespace {

constexpr const char* key_tag = "#EXT-X-KEY:";
constexpr const char* duration_tag = "#EXTINF:";
constexpr const char* target_tag = "#EXT-X-TARGETDURATION:";
constexpr const char* sequence_tag = "#EXT-X-MEDIA-SEQUENCE:";
// Segment numbers stay far below the 64-bit limit: 10^15 segments of 6 s.
constexpr int64_t max_media_sequence = 1'000'000'000'000'000;
constexpr const char* end_tag = "#EXT-X-ENDLIST";

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A segment as the muxer lists it.
struct listed_segment {
  std::string key;       // the part's last #EXT-X-KEY line before it; empty without one
  std::string duration;  // its #EXTINF line
  std::string uri;
};

struct playlist_part {
  std::vector<std::string> header;  // the lines before the first segment's
  std::vector<listed_segment> segments;
  int64_t media_sequence = 0;
  int64_t target_duration = -1;
  bool ended = false;
};

// Reads one part; why it cannot be joined, or empty.
std::string read_part(const std::string& text, playlist_part& part) {
  bool in_segments = false;
  std::string key;
  std::string duration;
  for (std::string& line : m3u8_lines(text)) {
    if (part.ended) {
      return "holds lines after #EXT-X-ENDLIST";
    }
    const bool is_uri = line[0] != '#';
    in_segments = in_segments || is_uri || starts_with(line, key_tag) ||
                  starts_with(line, duration_tag);
    if (line == end_tag) {
      part.ended = true;
    } else if (names_playlists(line)) {
      return "holds " + line + ", which names another playlist";
    } else if (!in_segments) {
      if (starts_with(line, target_tag)) {
        part.target_duration = std::strtoll(line.c_str() + std::strlen(target_tag), nullptr, 10);
      } else if (starts_with(line, sequence_tag)) {
        part.media_sequence = std::strtoll(line.c_str() + std::strlen(sequence_tag), nullptr, 10);
      }
      part.header.push_back(std::move(line));
    } else if (starts_with(line, key_tag)) {
      key = std::move(line);
    } else if (starts_with(line, duration_tag)) {
      if (extinf_seconds(line.c_str() + std::strlen(duration_tag)) < 0) {
        return "holds " + line + ", which is no segment's duration";
      }
      duration = std::move(line);
    } else if (is_uri && !duration.empty()) {
      part.segments.push_back(listed_segment{key, std::move(duration), std::move(line)});
      duration.clear();
    } else {
      return "holds " + line + " where the muxer writes only segments and their keys";
    }
  }
  if (!part.ended || !duration.empty()) {
    return "is unfinished (no #EXT-X-ENDLIST after its last segment)";
  }
  if (part.segments.empty()) {
    return "lists no segment";
  }
  if (part.target_duration < 0) {
    return "has no #EXT-X-TARGETDURATION";
  }
  if (part.media_sequence < 0 || part.media_sequence > max_media_sequence) {
    return "starts at segment " + std::to_string(part.media_sequence) + ", which no ladder reaches";
  }
  for (const listed_segment& segment : part.segments) {
    // The muxer names segments in the playlist's own folder; the join
    // rewrites the files it lists, so it must not be led anywhere else.
    if (segment.uri.find('/') != std::string::npos || segment.uri[0] == '.') {
      return "lists " + segment.uri + ", which is not a segment in its folder";
    }
  }
  return "";
}

// The header less the lines that differ from part to part.
std::vector<std::string> shared_header(const playlist_part& part) {
  std::vector<std::string> lines;
  for (const std::string& line : part.header) {
    if (!starts_with(line, target_tag) && !starts_with(line, sequence_tag)) {
      lines.push_back(line);
    }
  }
  return lines;
}

// The number a segment's name ends with (720p_012.ts: 12): its place in
// the whole file. -1 without one.
int64_t segment_number(const std::string& uri) {
  const size_t dot = uri.rfind('.');
  const size_t end = dot == std::string::npos ? uri.size() : dot;
  size_t start = end;
  while (start > 0 && std::isdigit(static_cast<unsigned char>(uri[start - 1]))) {
    --start;
  }
  if (start == end || end - start > 18) {
    return -1;
  }
  return std::strtoll(uri.substr(start, end - start).c_str(), nullptr, 10);
}

// Which key a key line names, whatever its IV: parts of one rendition may
// each start a new IV, but never another key.
std::string key_identity(const std::string& key_line) {
  if (key_line.empty()) {
    return "";
  }
  const std::string attributes = key_line.substr(std::strlen(key_tag));
  return m3u8_attribute(attributes, "METHOD").value_or("") + '\n' +
         m3u8_attribute(attributes, "URI").value_or("") + '\n' +
         m3u8_attribute(attributes, "KEYFORMAT").value_or("");
}

joined_playlist refusal(const std::string& name, const std::string& reason) {
  return joined_playlist{"", name + ": " + reason};
}

// The whole file at `path`; the system's reason when it cannot be read.
std::optional<std::string> read_text(const std::string& path, std::string& text) {
  const file_ptr file(std::fopen(path.c_str(), "r"));
  if (!file) {
    return std::string(std::strerror(errno));
  }
  char buffer[8192];
  size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, read);
  }
  if (std::ferror(file.get())) {
    return std::string(std::strerror(errno));
  }
  return std::nullopt;
}

std::optional<std::string> write_text(const std::string& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return std::string(std::strerror(errno));
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int write_error = errno;
  // Closing flushes the buffer: a full disk shows here.
  if (std::fclose(file) != 0) {
    return std::string(std::strerror(errno));
  }
  if (!written) {
    return std::string(std::strerror(write_error));
  }
  return std::nullopt;
}

}  // namespace

joined_playlist join_media_playlist_texts(const std::vector<playlist_text>& parts) {
  if (parts.empty()) {
    return joined_playlist{"", "no playlist to join"};
  }
  std::vector<playlist_part> read(parts.size());
  for (size_t index = 0; index < parts.size(); ++index) {
    const std::string why = read_part(parts[index].text, read[index]);
    if (!why.empty()) {
      return refusal(parts[index].name, why);
    }
  }
  const std::string first_key = key_identity(read[0].segments[0].key);
  int64_t next = read[0].media_sequence;
  int64_t target = 0;
  std::string written_key;
  std::string segments;
  for (size_t index = 0; index < parts.size(); ++index) {
    const playlist_part& part = read[index];
    const std::string& name = parts[index].name;
    if (shared_header(part) != shared_header(read[0])) {
      return refusal(name, "its header differs from " + parts[0].name + "'s");
    }
    if (part.media_sequence != next) {
      return refusal(name, "starts at segment " + std::to_string(part.media_sequence) +
                               " where the part before it ends at " + std::to_string(next - 1));
    }
    target = std::max(target, part.target_duration);
    for (const listed_segment& segment : part.segments) {
      if (segment_number(segment.uri) != next) {
        return refusal(name, "lists " + segment.uri + " as segment " + std::to_string(next));
      }
      if (key_identity(segment.key) != first_key) {
        return refusal(name, segment.uri + " is encrypted with another key than " +
                                 parts[0].name + "'s first segment");
      }
      // The muxer writes a key line where the key or IV changes, and only there.
      if (segment.key != written_key) {
        segments += segment.key + '\n';
        written_key = segment.key;
      }
      segments += segment.duration + '\n' + segment.uri + '\n';
      ++next;
    }
  }
  std::string text;
  for (const std::string& line : read[0].header) {
    text += (starts_with(line, target_tag) ? target_tag + std::to_string(target) : line) + '\n';
  }
  return joined_playlist{text + segments + end_tag + '\n', ""};
}

std::optional<playlist_join_failure> join_media_playlists(const std::vector<std::string>& parts,
                                                          const std::string& output) {
  std::vector<playlist_text> texts;
  for (const std::string& path : parts) {
    playlist_text& part = texts.emplace_back();
    part.name = path;
    if (std::optional<std::string> failed = read_text(path, part.text)) {
      return playlist_join_failure{false, "reading the playlist " + path + ": " + *failed};
    }
  }
  const joined_playlist joined = join_media_playlist_texts(texts);
  if (!joined.refused.empty()) {
    return playlist_join_failure{true, joined.refused};
  }
  if (std::optional<std::string> failed = write_text(output, joined.text)) {
    return playlist_join_failure{false, "writing the playlist " + output + ": " + *failed};
  }
  return std::nullopt;
}

}  // namespace quorvane
