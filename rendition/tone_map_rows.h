// The pixel loops of the HDR tone map, a row at a time, and the layout of
// the tables they read. The loop over a luma row runs in AVX2's eight lanes
// where the processor has them, else in plain C++; both give the same bytes.
#pragma once

#include <cstdint>

namespace quorvane {

// The table from R', G' or B' to linear light is uniform over 0 to 1.25:
// above 1, the super-whites a camera may record.
constexpr int signal_steps = 2048;
constexpr float signal_limit = 1.25f;

// Tables over linear light are indexed by a float's exponent and the top bits
// of its mantissa: steps of equal ratio, fine in the dark, where the display
// gamma is steepest, and coarse in the highlights.
struct log_table_range {
  int lowest_exponent;  // values below 2^lowest_exponent share the first entry, that of 0
  int octaves;          // values from 2^(lowest_exponent + octaves) share the last
  int mantissa_bits;
};
// Linear light into BT.709's signal: down to where the signal is a fifth of
// an 8-bit step, so that black stays black.
constexpr log_table_range display_range{-24, 26, 8};
constexpr log_table_range curve_range{-14, 21, 8};  // brightest channel into the curve's gain

constexpr int table_size(const log_table_range& range) {
  return range.octaves << range.mantissa_bits;
}

// The value an entry of a table over `range` stands for: the middle of its
// span, and 0 for the first.
float log_table_value(const log_table_range& range, int entry);

// BT.709's luma weights, which the output is coded with.
constexpr float bt709_red = 0.2126f;
constexpr float bt709_blue = 0.0722f;
constexpr float bt709_green = 1 - bt709_red - bt709_blue;

// What every row of a picture reads.
struct tone_map_tables {
  const float* to_linear;   // signal_steps pairs: the value, and the step to the next
  const float* curve_gain;  // over curve_range: the curve's output over its input
  const float* to_display;  // over display_range: BT.709's signal
  float to_bt709[9];        // linear light, the source's primaries to BT.709's
  float luma_offset;        // input luma code values to 0..1
  float luma_scale;
  bool vector_lanes;        // false: the plain loop even where AVX2 is there
};

// One luma row: the input's luma and its chroma as offsets to R', G' and B'
// per column; the output's luma, and its R'G'B' per column in `rgb`.
struct tone_map_row {
  const uint16_t* luma;
  float* offsets[3];  // room for the row's chroma columns times two
  uint8_t* out_luma;
  float* rgb[3];
  int width;
};

void map_row_pixels(const tone_map_tables& tables, const tone_map_row& row);

// The input's chroma rows nearest a luma row: 4:2:0 chroma sits between two
// luma rows, so a luma row is a quarter of the way from its own chroma row
// to the one on its side.
struct nearest_chroma {
  const uint16_t* cb_own;
  const uint16_t* cb_other;
  const uint16_t* cr_own;
  const uint16_t* cr_other;
  int chroma_width;
};

// Chroma code values to offsets to R', G' and B'.
struct chroma_coefficients {
  float scale;  // code values about 512 to -0.5..0.5
  float cr_to_r;
  float cb_to_g;
  float cr_to_g;
  float cb_to_b;
};

// Fills `row.offsets` from `chroma`; `scratch` holds 2 * (chroma_width + 1) floats.
void interpolate_chroma(const chroma_coefficients& coefficients, const nearest_chroma& chroma,
                        float* scratch, const tone_map_row& row);

// A chroma row of the output from the R'G'B' of the four luma rows about it
// (the edge rows standing in for those past the picture's edge), `width`
// luma columns each: between the middle two, weighed 1/8, 3/8, 3/8, 1/8 as
// zimg's bilinear filter weighs them. `filtered` holds 3 * width floats.
void write_chroma_row(const float* const (&rows)[4][3], int width, float* filtered, uint8_t* cb,
                      uint8_t* cr);

}  // namespace quorvane
