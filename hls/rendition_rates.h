// What a finished rendition really needs from the link, measured from the
// files it wrote: players choose rungs by these figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvane {

struct rendition_rates {
  int64_t peak = 0;     // bits per second of its busiest segment
  int64_t average = 0;  // bits per second over all its segments
};

// Reads the media playlist at `playlist` and the segments it lists (relative
// to its folder): each segment's size in bits over its EXTINF, everything in
// it counted (both streams, MPEG-TS and encryption overhead), rounded up.
// Empty when the playlist lists no segment or a segment cannot be read.
std::optional<rendition_rates> measure_rendition_rates(const std::string& playlist);

}  // namespace quorvane
