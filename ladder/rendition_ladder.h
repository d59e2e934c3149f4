// The fixed rendition ladder: which names exist, their frame sizes and the
// bitrate a name gets when the caller's bitrate list is too short.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvane {

struct ladder_row {
  const char* name;
  int32_t width;   // landscape form: width >= height
  int32_t height;
  int32_t default_bitrate;
};

inline constexpr std::array<ladder_row, 4> rendition_ladder = {{
    {"1080p", 1920, 1080, 5000000},
    {"720p", 1280, 720, 2500000},
    {"480p", 854, 480, 1000000},
    {"360p", 640, 360, 400000},
}};

// Default bitrate of a name that matches no row.
inline constexpr int32_t unlisted_default_bitrate = 1000000;

struct frame_size {
  int32_t width;
  int32_t height;
};

// One planned rendition, oriented like the source.
struct rendition {
  std::string name;
  int32_t width;
  int32_t height;
  int32_t bitrate;
};

int32_t default_bitrate(const std::string& name);

// hls_encoder's defaults: every rung of the ladder, in its order, and each
// rung's default bitrate at the same place.
std::vector<std::string> default_resolution();
std::vector<int32_t> default_bitrates();

// Appends defaults until `bitrates` is at least as long as `names`; values
// already present are kept as they are.
void fill_missing_bitrates(const std::vector<std::string>& names, std::vector<int32_t>& bitrates);

// The names of `resolution` that get a rendition: those of the ladder, once,
// in the caller's order.
std::vector<std::string> rendition_names(const std::vector<std::string>& resolution);

// The frame size of `name`, landscape unless the source is taller than wide;
// empty for a name outside the ladder.
std::optional<frame_size> resolve_frame_size(const std::string& name, int32_t source_width,
                                             int32_t source_height);

}  // namespace quorvane
