#include "hls/rendition_rates.h"

#include <algorithm>
#include <cmath>

#include "hls/m3u8.h"

namespace quorvane {

namespace {

int64_t bits_per_second(uintmax_t bytes, double seconds) {
  return static_cast<int64_t>(std::ceil(static_cast<double>(bytes) * 8 / seconds));
}

}  // namespace

std::optional<rendition_rates> measure_rendition_rates(const std::string& playlist) {
  const std::optional<media_playlist_files> files = read_media_playlist(playlist);
  if (!files) {
    return std::nullopt;
  }
  rendition_rates rates;
  uintmax_t total_bytes = 0;
  double total_seconds = 0;
  for (const segment_file& segment : files->segments) {
    if (!(segment.seconds > 0) || !std::isfinite(segment.seconds)) {
      return std::nullopt;
    }
    rates.peak = std::max(rates.peak, bits_per_second(segment.bytes, segment.seconds));
    total_bytes += segment.bytes;
    total_seconds += segment.seconds;
  }
  if (total_seconds <= 0) {
    return std::nullopt;
  }
  rates.average = bits_per_second(total_bytes, total_seconds);
  return rates;
}

}  // namespace quorvane
