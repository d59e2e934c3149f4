#include "rendition/tone_map_rows.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quorvane {

namespace {

int32_t float_bits(float value) {
  int32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

float bits_float(int32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The bits of the float 2^lowest_exponent.
constexpr int32_t lowest_bits(const log_table_range& range) {
  return (127 + range.lowest_exponent) << 23;
}

constexpr int mantissa_shift(const log_table_range& range) { return 23 - range.mantissa_bits; }

constexpr float signal_position_scale = (signal_steps - 1) / signal_limit;
constexpr float last_signal_position = signal_steps - 1;

// Selects rather than std::min, std::max and std::copysign throughout: the
// same operations, in the same order, as the eight lanes below.

// Interpolated between entries: saturated highlights take the difference of
// large linear values when their primaries are converted, which the steps
// of a table read to the nearest entry would show.
float signal_lookup(const float* table, float signal) {
  const float position = signal * signal_position_scale;
  const float inside = position < 0 ? 0 : position > last_signal_position ? last_signal_position
                                                                          : position;
  const int entry = static_cast<int>(inside);
  const float fraction = inside - static_cast<float>(entry);
  return table[2 * entry] + fraction * table[2 * entry + 1];
}

float log_lookup(const float* table, const log_table_range& range, float value) {
  const int32_t bits = float_bits(value);
  const int32_t floor = bits < lowest_bits(range) ? lowest_bits(range) : bits;  // negatives too
  const int32_t entry = (floor - lowest_bits(range)) >> mantissa_shift(range);
  return table[entry < table_size(range) ? entry : table_size(range) - 1];
}

// An odd function's table read for a value of either sign: light just
// outside BT.709's gamut keeps its (small, negative) signal, as in zimg.
float odd_log_lookup(const float* table, const log_table_range& range, float value) {
  const int32_t sign = float_bits(value) & INT32_MIN;
  const float magnitude = bits_float(float_bits(value) & INT32_MAX);
  return bits_float(float_bits(log_lookup(table, range, magnitude)) | sign);
}

uint8_t code_value(float value) {
  const float inside = value < 0 ? 0 : value > 255 ? 255 : value;
  return static_cast<uint8_t>(inside + 0.5f);
}

// Columns `from` to the row's end.
void map_pixels(const tone_map_tables& tables, const tone_map_row& row, int from) {
  const float* m = tables.to_bt709;
  for (int column = from; column < row.width; ++column) {
    const float y = (row.luma[column] - tables.luma_offset) * tables.luma_scale;
    const float red = signal_lookup(tables.to_linear, y + row.offsets[0][column]);
    const float green = signal_lookup(tables.to_linear, y + row.offsets[1][column]);
    const float blue = signal_lookup(tables.to_linear, y + row.offsets[2][column]);
    float r = m[0] * red + m[1] * green + m[2] * blue;
    float g = m[3] * red + m[4] * green + m[5] * blue;
    float b = m[6] * red + m[7] * green + m[8] * blue;
    // The curve scales the three channels alike, by the brightest: hues
    // stay as they are.
    const float red_or_green = r < g ? g : r;
    const float brightest = red_or_green < b ? b : red_or_green;
    const float gain = log_lookup(tables.curve_gain, curve_range, brightest);
    r = odd_log_lookup(tables.to_display, display_range, r * gain);
    g = odd_log_lookup(tables.to_display, display_range, g * gain);
    b = odd_log_lookup(tables.to_display, display_range, b * gain);
    row.out_luma[column] = code_value(16 + 219 * (bt709_red * r + bt709_green * g + bt709_blue * b));
    row.rgb[0][column] = r;
    row.rgb[1][column] = g;
    row.rgb[2][column] = b;
  }
}

// One output chroma sample from a chroma row's R'G'B' per luma column: sited
// on the even column, as MPEG-2 and H.264 put it, so weighed 1/4, 1/2, 1/4
// across the odd ones beside it. (Inlined: the loop over a row vectorizes.)
__attribute__((always_inline)) inline void write_chroma_sample(const float* __restrict red_row, const float* __restrict green_row,
                         const float* __restrict blue_row, int before, int even, int after,
                         uint8_t* __restrict cb, uint8_t* __restrict cr) {
  const float red = 0.25f * red_row[before] + 0.5f * red_row[even] + 0.25f * red_row[after];
  const float green = 0.25f * green_row[before] + 0.5f * green_row[even] + 0.25f * green_row[after];
  const float blue = 0.25f * blue_row[before] + 0.5f * blue_row[even] + 0.25f * blue_row[after];
  const float y = bt709_red * red + bt709_green * green + bt709_blue * blue;
  *cb = code_value(128 + 224 * (blue - y) / (2 * (1 - bt709_blue)));
  *cr = code_value(128 + 224 * (red - y) / (2 * (1 - bt709_red)));
}

#if defined(__x86_64__)

__attribute__((target("avx2"))) __m256 signal_gather(const float* table, __m256 signal) {
  const __m256 position = _mm256_mul_ps(signal, _mm256_set1_ps(signal_position_scale));
  const __m256 inside = _mm256_min_ps(_mm256_max_ps(position, _mm256_setzero_ps()),
                                      _mm256_set1_ps(last_signal_position));
  const __m256i entry = _mm256_cvttps_epi32(inside);
  const __m256 fraction = _mm256_sub_ps(inside, _mm256_cvtepi32_ps(entry));
  // Each entry's value and step side by side, fetched as one 64-bit
  // element: half the elements two 32-bit gathers would fetch.
  const auto* pairs = reinterpret_cast<const long long*>(table);
  const __m256 low = _mm256_castsi256_ps(
      _mm256_i32gather_epi64(pairs, _mm256_castsi256_si128(entry), 8));
  const __m256 high = _mm256_castsi256_ps(
      _mm256_i32gather_epi64(pairs, _mm256_extracti128_si256(entry, 1), 8));
  // Lanes 0, 1, 4, 5 from `low` and 2, 3, 6, 7 from `high`, put back in order.
  const __m256i order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
  const __m256 values = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(low, high, 0x88), order);
  const __m256 steps = _mm256_permutevar8x32_ps(_mm256_shuffle_ps(low, high, 0xdd), order);
  return _mm256_add_ps(values, _mm256_mul_ps(fraction, steps));
}

__attribute__((target("avx2"))) __m256 log_gather(const float* table, const log_table_range& range,
                                                  __m256 value) {
  const __m256i low = _mm256_set1_epi32(lowest_bits(range));
  const __m256i floor = _mm256_max_epi32(_mm256_castps_si256(value), low);
  const __m256i entry = _mm256_srai_epi32(_mm256_sub_epi32(floor, low), mantissa_shift(range));
  return _mm256_i32gather_ps(
      table, _mm256_min_epi32(entry, _mm256_set1_epi32(table_size(range) - 1)), 4);
}

__attribute__((target("avx2"))) __m256 odd_log_gather(const float* table,
                                                      const log_table_range& range, __m256 value) {
  const __m256 sign = _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MIN));
  const __m256 magnitude = _mm256_andnot_ps(sign, value);
  return _mm256_or_ps(log_gather(table, range, magnitude), _mm256_and_ps(value, sign));
}

__attribute__((target("avx2"))) __m256 weighted(const float* weights, __m256 a, __m256 b, __m256 c) {
  return _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(weights[0]), a),
                                     _mm256_mul_ps(_mm256_set1_ps(weights[1]), b)),
                       _mm256_mul_ps(_mm256_set1_ps(weights[2]), c));
}

// Eight columns at a time, as map_pixels does them; the columns done.
__attribute__((target("avx2"))) int map_pixels_avx2(const tone_map_tables& tables,
                                                    const tone_map_row& row) {
  const float* m = tables.to_bt709;
  const float luma_weights[3] = {bt709_red, bt709_green, bt709_blue};
  int column = 0;
  for (; column + 8 <= row.width; column += 8) {
    const __m256 code = _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.luma + column))));
    const __m256 y = _mm256_mul_ps(_mm256_sub_ps(code, _mm256_set1_ps(tables.luma_offset)),
                                   _mm256_set1_ps(tables.luma_scale));
    __m256 linear[3];
    for (int channel = 0; channel < 3; ++channel) {
      linear[channel] = signal_gather(
          tables.to_linear, _mm256_add_ps(y, _mm256_loadu_ps(row.offsets[channel] + column)));
    }
    __m256 rgb[3];
    for (int channel = 0; channel < 3; ++channel) {
      rgb[channel] = weighted(m + 3 * channel, linear[0], linear[1], linear[2]);
    }
    const __m256 brightest = _mm256_max_ps(_mm256_max_ps(rgb[0], rgb[1]), rgb[2]);
    const __m256 gain = log_gather(tables.curve_gain, curve_range, brightest);
    for (int channel = 0; channel < 3; ++channel) {
      rgb[channel] =
          odd_log_gather(tables.to_display, display_range, _mm256_mul_ps(rgb[channel], gain));
      _mm256_storeu_ps(row.rgb[channel] + column, rgb[channel]);
    }
    const __m256 luma = _mm256_add_ps(
        _mm256_set1_ps(16),
        _mm256_mul_ps(_mm256_set1_ps(219), weighted(luma_weights, rgb[0], rgb[1], rgb[2])));
    const __m256 inside =
        _mm256_min_ps(_mm256_max_ps(luma, _mm256_setzero_ps()), _mm256_set1_ps(255));
    const __m256i codes = _mm256_cvttps_epi32(_mm256_add_ps(inside, _mm256_set1_ps(0.5f)));
    const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(codes),
                                           _mm256_extracti128_si256(codes, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(row.out_luma + column),
                     _mm_packus_epi16(words, words));
  }
  return column;
}

#endif

}  // namespace

float log_table_value(const log_table_range& range, int entry) {
  if (entry == 0) {
    return 0;
  }
  return bits_float(lowest_bits(range) + (entry << mantissa_shift(range)) +
                    (int32_t{1} << (mantissa_shift(range) - 1)));
}

void interpolate_chroma(const chroma_coefficients& coefficients, const nearest_chroma& chroma,
                        float* scratch, const tone_map_row& row) {
  const int width = chroma.chroma_width;
  float* cb = scratch;
  float* cr = scratch + width + 1;
  for (int column = 0; column < width; ++column) {
    cb[column] = (0.75f * chroma.cb_own[column] + 0.25f * chroma.cb_other[column] - 512) *
                 coefficients.scale;
    cr[column] = (0.75f * chroma.cr_own[column] + 0.25f * chroma.cr_other[column] - 512) *
                 coefficients.scale;
  }
  cb[width] = cb[width - 1];
  cr[width] = cr[width - 1];
  // Chroma sits on the even luma columns; an odd one is halfway between.
  float* __restrict red = row.offsets[0];
  float* __restrict green = row.offsets[1];
  float* __restrict blue = row.offsets[2];
  const float cr_to_r = coefficients.cr_to_r;
  const float cb_to_g = coefficients.cb_to_g;
  const float cr_to_g = coefficients.cr_to_g;
  const float cb_to_b = coefficients.cb_to_b;
  for (int column = 0; column < width; ++column) {
    const float even_cb = cb[column];
    const float even_cr = cr[column];
    const float odd_cb = 0.5f * (even_cb + cb[column + 1]);
    const float odd_cr = 0.5f * (even_cr + cr[column + 1]);
    red[2 * column] = cr_to_r * even_cr;
    red[2 * column + 1] = cr_to_r * odd_cr;
    green[2 * column] = cb_to_g * even_cb + cr_to_g * even_cr;
    green[2 * column + 1] = cb_to_g * odd_cb + cr_to_g * odd_cr;
    blue[2 * column] = cb_to_b * even_cb;
    blue[2 * column + 1] = cb_to_b * odd_cb;
  }
}

void write_chroma_row(const float* const (&rows)[4][3], int width, float* filtered, uint8_t* cb,
                      uint8_t* cr) {
  for (int channel = 0; channel < 3; ++channel) {
    const float* above = rows[0][channel];
    const float* upper = rows[1][channel];
    const float* lower = rows[2][channel];
    const float* below = rows[3][channel];
    float* __restrict out = filtered + channel * width;
    for (int column = 0; column < width; ++column) {
      out[column] = 0.125f * above[column] + 0.375f * upper[column] + 0.375f * lower[column] +
                    0.125f * below[column];
    }
  }
  const float* red = filtered;
  const float* green = filtered + width;
  const float* blue = filtered + 2 * width;
  const int chroma_width = (width + 1) / 2;
  // The first and last samples have a neighbour missing: the edge column
  // stands in for it.
  write_chroma_sample(red, green, blue, 0, 0, width > 1 ? 1 : 0, cb, cr);
  const int inner_end = width / 2;  // the columns with 2 * column + 1 < width
  for (int column = 1; column < inner_end; ++column) {
    write_chroma_sample(red, green, blue, 2 * column - 1, 2 * column, 2 * column + 1, cb + column,
                        cr + column);
  }
  for (int column = std::max(inner_end, 1); column < chroma_width; ++column) {
    write_chroma_sample(red, green, blue, 2 * column - 1, 2 * column, width - 1, cb + column,
                        cr + column);
  }
}

void map_row_pixels(const tone_map_tables& tables, const tone_map_row& row) {
  int done = 0;
#if defined(__x86_64__)
  if (tables.vector_lanes && __builtin_cpu_supports("avx2")) {
    done = map_pixels_avx2(tables, row);
  }
#endif
  map_pixels(tables, row, done);
}

}  // namespace quorvane
