// Playlists as the project reads them: an upload's, and the media playlists
// of a ladder's windows read for their join. Any bytes.
// What must hold: every segment the reader finds has a finite, non-negative
// EXTINF or none; parts that join make a playlist that reads back with all
// their segments, each named inside the folder, and joins again to itself.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>


#include "fuzz_checks.h"
#include "hls/m3u8.h"
#include "hls/playlist_join.h"

using namespace quorvane;
using quorvane_fuzz::require;

namespace {

m3u8_playlist read_text(const std::string& text) {
  FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (file == nullptr) {
    return {};  // fmemopen refuses an empty buffer
  }
  m3u8_playlist playlist = read_m3u8(file);
  std::fclose(file);
  return playlist;
}

size_t segment_count(const m3u8_playlist& playlist) {
  size_t count = 0;
  for (const m3u8_reference& reference : playlist.references) {
    count += is_segment(reference) ? 1 : 0;
  }
  return count;
}

void check_reading(const std::string& text) {
  const m3u8_playlist playlist = read_text(text);
  for (const m3u8_reference& reference : playlist.references) {
    require(reference.seconds == -1 || (std::isfinite(reference.seconds) && reference.seconds >= 0),
            "a segment's EXTINF is a duration or none");
    m3u8_attribute(reference.attributes, "URI");
    m3u8_attribute(reference.attributes, "IV");
  }
}

// The bytes split into parts at each form feed, as a join of windows gets them.
std::vector<playlist_text> parts_of(const std::string& text) {
  std::vector<playlist_text> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\f', start);
    parts.push_back({"part" + std::to_string(parts.size()), text.substr(start, end - start)});
    if (end == std::string::npos || parts.size() == 8) {
      return parts;
    }
    start = end + 1;
  }
}

void check_join(const std::string& text) {
  const std::vector<playlist_text> parts = parts_of(text);
  const joined_playlist joined = join_media_playlist_texts(parts);
  if (!joined.refused.empty()) {
    return;
  }
  size_t listed = 0;
  for (const playlist_text& part : parts) {
    listed += segment_count(read_text(part.text));
  }
  const m3u8_playlist whole = read_text(joined.text);
  require(whole.ended, "a joined playlist is ended");
  require(segment_count(whole) == listed, "a joined playlist lists every part's segments");
  for (const m3u8_reference& reference : whole.references) {
    require(!is_segment(reference) ||
                (reference.uri.find('/') == std::string::npos && reference.uri.rfind('.', 0) != 0),
            "a joined segment lies in the playlist's folder");
    require(!is_segment(reference) || reference.seconds >= 0, "a joined segment has its duration");
  }
  const joined_playlist again = join_media_playlist_texts({{"whole", joined.text}});
  require(again.refused.empty() && again.text == joined.text, "a joined playlist joins to itself");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  check_reading(text);
  check_join(text);
  return 0;
}
