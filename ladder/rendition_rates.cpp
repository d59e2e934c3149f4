#include "rendition_rates.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace quorvane {

namespace {

int64_t bits_per_second(uintmax_t bytes, double seconds) {
  return static_cast<int64_t>(std::ceil(static_cast<double>(bytes) * 8 / seconds));
}

}  // namespace

std::optional<rendition_rates> measure_rendition_rates(const std::string& playlist) {
  std::ifstream file(playlist);
  if (!file) {
    return std::nullopt;
  }
  const fs::path folder = fs::path(playlist).parent_path();
  rendition_rates rates;
  uintmax_t total_bytes = 0;
  double total_seconds = 0;
  double segment_seconds = -1;  // EXTINF of the segment whose URI comes next
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.rfind("#EXTINF:", 0) == 0) {
      segment_seconds = std::strtod(line.c_str() + 8, nullptr);
    } else if (!line.empty() && line[0] != '#') {
      std::error_code error;
      const uintmax_t bytes = fs::file_size(folder / line, error);
      if (error || !(segment_seconds > 0) || !std::isfinite(segment_seconds)) {
        return std::nullopt;
      }
      rates.peak = std::max(rates.peak, bits_per_second(bytes, segment_seconds));
      total_bytes += bytes;
      total_seconds += segment_seconds;
      segment_seconds = -1;
    }
  }
  if (total_seconds <= 0) {
    return std::nullopt;
  }
  rates.average = bits_per_second(total_bytes, total_seconds);
  return rates;
}

}  // namespace quorvane
