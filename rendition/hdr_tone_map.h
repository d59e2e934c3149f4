// HDR pictures (PQ or HLG, Y'CbCr) brought to SDR BT.709 limited range in one
// pass over the pixels: tables in place of the transfer functions and the
// tone-mapping curve, no planes of linear light in floating point.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/ffmpeg_handles.h"

namespace quorvane {

// The pixel format the map reads; the source's steps convert to it first.
constexpr AVPixelFormat tone_map_input_format = AV_PIX_FMT_YUV420P10;

struct hdr_tone_map {
  // Y'CbCr code values to R'G'B' in 0..1.
  float luma_offset = 0;
  float luma_scale = 0;
  float chroma_scale = 0;
  float cr_to_r = 0;
  float cb_to_g = 0;
  float cr_to_g = 0;
  float cb_to_b = 0;
  float to_bt709[9] = {};   // linear light, the source's primaries to BT.709's
  std::vector<float> to_linear;   // R', G' or B' to linear light, SDR white 1
  std::vector<float> curve_gain;  // brightest channel to the curve's gain
  std::vector<float> to_display;  // linear light to BT.709's R', G' or B'
  double curve_peak = 0;          // the brightest light `curve_gain` was made for
  bool vector_lanes = true;       // false: the plain loop alone, which a test compares
  // Rows of a picture under way: the input's chroma, as offsets per luma
  // column, and the output's R'G'B' of the last four luma rows, for its chroma.
  std::vector<float> row_chroma;
  std::vector<float> row_offsets;
  std::vector<float> row_rgb;
  std::vector<float> row_filtered;
};

// What the map needs to know of an HDR source's colours.
struct hdr_colours {
  bool hlg = false;              // else PQ
  bool bt709_matrix = false;     // else BT.2020's, non-constant luminance
  bool bt709_primaries = false;  // else BT.2020's
  bool full_range = false;
};

hdr_tone_map make_hdr_tone_map(const hdr_colours& colours);

// `out` (unreferenced) becomes `in` (tone_map_input_format) in 8-bit 4:2:0
// BT.709 limited range, with `in`'s properties. 0, or FFmpeg's error code.
int tone_map_picture(hdr_tone_map& map, const AVFrame* in, AVFrame* out);

}  // namespace quorvane
