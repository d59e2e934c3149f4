// The one reader of m3u8 playlists: the URIs a playlist names, each
// segment's EXTINF, and whether the playlist is ended. The input screening
// reads uploaded playlists with it, the driver the media playlists the
// muxer wrote.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace quorvane {

// One URI a playlist names: a line of its own (a segment, or after
// #EXT-X-STREAM-INF a media playlist), or a tag's URI="..." attribute (a
// key, an initialisation section, a rendition's playlist).
struct m3u8_reference {
  std::string uri;
  bool playlist = false;   // names a further playlist
  bool attribute = false;  // a tag's URI attribute, not a line of its own
  double seconds = -1;     // the EXTINF before a segment's line; -1 without one
  std::string tag;         // the tag that names it ("#EXT-X-KEY"); empty for a segment
  std::string attributes;  // that tag's attribute list, as written
};

struct m3u8_playlist {
  std::vector<m3u8_reference> references;  // in the playlist's order
  bool ended = false;                      // has #EXT-X-ENDLIST after a segment
  int64_t media_sequence = 0;              // #EXT-X-MEDIA-SEQUENCE: its first segment's number
};

// The value of attribute `name` in a tag's attribute list, its quotes
// removed, read as FFmpeg reads it; empty when the list has no such attribute.
std::optional<std::string> m3u8_attribute(const std::string& attributes, const std::string& name);

// The duration an #EXTINF tag's value (what follows its colon) gives: a
// finite, non-negative number of seconds, or -1 for none.
double extinf_seconds(const char* value);

// A playlist's lines as FFmpeg's HLS demuxer reads them: a line ends at LF,
// CR or NUL, blanks at its end are no part of it, empty lines are dropped.
// What FFmpeg takes for a segment must be a segment to the checks too.
std::vector<std::string> m3u8_lines(const std::string& text);

// Reads a playlist's text from `text` to its end, line by line as m3u8_lines.
m3u8_playlist read_m3u8(FILE* text);

// Reads the playlist at `path`; empty when it cannot be opened.
std::optional<m3u8_playlist> read_m3u8_file(const std::string& path);

// True for a tag by which a master playlist names further playlists: in a
// URI attribute, or (#EXT-X-STREAM-INF) in the line that follows.
bool names_playlists(const std::string& line);

// True for a segment: a line of its own that names no further playlist.
inline bool is_segment(const m3u8_reference& reference) {
  return !reference.playlist && !reference.attribute;
}

// A segment of a media playlist, as listed and as found on disk.
struct segment_file {
  double seconds = -1;  // its EXTINF; -1 without one
  uintmax_t bytes = 0;
};

// A media playlist's segments, in order, and whether it is ended.
struct media_playlist_files {
  std::vector<segment_file> segments;
  bool ended = false;
};

// Reads the media playlist at `path` and finds the size of each segment it
// lists (relative to its folder); empty when the playlist or any of its
// segments cannot be read.
std::optional<media_playlist_files> read_media_playlist(const std::string& path);

}  // namespace quorvane
