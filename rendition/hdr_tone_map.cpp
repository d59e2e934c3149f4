#include "rendition/hdr_tone_map.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/mastering_display_metadata.h>
}

#include "hls/output_format.h"
#include "rendition/tone_map_rows.h"

namespace quorvane {

namespace {

// Linear light counts in units of HDR reference white (203 cd/m2, BT.2408),
// which becomes SDR white.
constexpr double reference_white_nits = 203;
constexpr double pq_peak_nits = 10000;
// HLG as shown on its nominal 1000 cd/m2 display, system gamma 1.2 applied
// to each channel (as zimg, and so FFmpeg's zscale, applies it).
constexpr double hlg_display_nits = 1000;
constexpr double hlg_system_gamma = 1.2;

// The tone-mapping curve: mobius, linear up to 0.8 of SDR white and rolling
// the highlights off towards the brightest light the picture claims; the
// brightest light counts in 100 cd/m2 and defaults to ten times that, as
// FFmpeg's tonemap filter reads it.
constexpr double curve_knee = 0.8;
constexpr double peak_unit_nits = 100;
constexpr double default_curve_peak = 10;

// The table over `range` of `function`.
template <typename Function>
std::vector<float> log_table(const log_table_range& range, Function function) {
  std::vector<float> table(table_size(range));
  for (int entry = 0; entry < table_size(range); ++entry) {
    table[entry] = static_cast<float>(function(static_cast<double>(log_table_value(range, entry))));
  }
  return table;
}

double pq_to_linear(double signal) {
  constexpr double m1 = 2610.0 / 16384;
  constexpr double m2 = 2523.0 / 4096 * 128;
  constexpr double c1 = 3424.0 / 4096;
  constexpr double c2 = 2413.0 / 4096 * 32;
  constexpr double c3 = 2392.0 / 4096 * 32;
  const double power = std::pow(std::max(signal, 0.0), 1 / m2);
  const double light = std::pow(std::max(power - c1, 0.0) / (c2 - c3 * power), 1 / m1);
  return light * pq_peak_nits / reference_white_nits;
}

// HLG's signal to display light: scene light in 0..1 (BT.2100's inverse
// OETF), then the system gamma.
double hlg_to_linear(double signal) {
  constexpr double a = 0.17883277;
  constexpr double b = 1 - 4 * a;
  const double c = 0.5 - a * std::log(4 * a);
  signal = std::max(signal, 0.0);
  const double scene = signal <= 0.5 ? signal * signal / 3 : (std::exp((signal - c) / a) + b) / 12;
  return hlg_display_nits / reference_white_nits * std::pow(scene, hlg_system_gamma);
}

// Display light to BT.709's signal through BT.1886's display (gamma 2.4), as
// zimg takes display-referred light there.
double bt709_from_linear(double light) { return std::pow(light, 1 / 2.4); }

double mobius(double light, double peak) {
  const double j = curve_knee;
  if (light <= j) {
    return light;
  }
  const double a = -j * j * (peak - 1) / (j * j - 2 * j + peak);
  const double b = (j * j - 2 * j * peak + peak) / std::max(peak - 1, 1e-6);
  return (b * b + 2 * b * j + j * j) / (b - a) * (light + a) / (light + b);
}

// The brightest light a picture claims, in units of 100 cd/m2: its content
// light level, else its mastering display's peak, else the default.
double curve_peak_of(const AVFrame* picture) {
  if (const AVFrameSideData* level =
          av_frame_get_side_data(picture, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL)) {
    const auto* light = reinterpret_cast<const AVContentLightMetadata*>(level->data);
    if (light->MaxCLL > 0) {
      return light->MaxCLL / peak_unit_nits;
    }
  }
  if (const AVFrameSideData* mastering =
          av_frame_get_side_data(picture, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA)) {
    const auto* display = reinterpret_cast<const AVMasteringDisplayMetadata*>(mastering->data);
    if (display->has_luminance && av_q2d(display->max_luminance) > 0) {
      return av_q2d(display->max_luminance) / peak_unit_nits;
    }
  }
  return default_curve_peak;
}

struct chromaticity {
  double x;
  double y;
};

using matrix3 = std::array<double, 9>;

matrix3 multiplied(const matrix3& a, const matrix3& b) {
  matrix3 product{};
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      for (int k = 0; k < 3; ++k) {
        product[row * 3 + column] += a[row * 3 + k] * b[k * 3 + column];
      }
    }
  }
  return product;
}

matrix3 inverted(const matrix3& m) {
  const double det = m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
                     m[2] * (m[3] * m[7] - m[4] * m[6]);
  return {(m[4] * m[8] - m[5] * m[7]) / det, (m[2] * m[7] - m[1] * m[8]) / det,
          (m[1] * m[5] - m[2] * m[4]) / det, (m[5] * m[6] - m[3] * m[8]) / det,
          (m[0] * m[8] - m[2] * m[6]) / det, (m[2] * m[3] - m[0] * m[5]) / det,
          (m[3] * m[7] - m[4] * m[6]) / det, (m[1] * m[6] - m[0] * m[7]) / det,
          (m[0] * m[4] - m[1] * m[3]) / det};
}

// Linear RGB of primaries `red`, `green`, `blue` (white D65) to CIE XYZ.
matrix3 rgb_to_xyz(chromaticity red, chromaticity green, chromaticity blue) {
  const chromaticity white{0.3127, 0.3290};
  const matrix3 primaries{red.x / red.y,   green.x / green.y,   blue.x / blue.y,
                          1,               1,                   1,
                          (1 - red.x - red.y) / red.y, (1 - green.x - green.y) / green.y,
                          (1 - blue.x - blue.y) / blue.y};
  const matrix3 inverse = inverted(primaries);
  const double white_xyz[3] = {white.x / white.y, 1, (1 - white.x - white.y) / white.y};
  double scale[3] = {};
  for (int row = 0; row < 3; ++row) {
    for (int k = 0; k < 3; ++k) {
      scale[row] += inverse[row * 3 + k] * white_xyz[k];
    }
  }
  matrix3 conversion = primaries;
  for (int row = 0; row < 3; ++row) {
    for (int column = 0; column < 3; ++column) {
      conversion[row * 3 + column] *= scale[column];
    }
  }
  return conversion;
}

matrix3 bt709_to_xyz() { return rgb_to_xyz({0.64, 0.33}, {0.30, 0.60}, {0.15, 0.06}); }
matrix3 bt2020_to_xyz() { return rgb_to_xyz({0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}); }

}  // namespace

hdr_tone_map make_hdr_tone_map(const hdr_colours& colours) {
  hdr_tone_map map;
  const bool hlg = colours.hlg;
  const bool full = colours.full_range;
  map.luma_offset = full ? 0 : 64;
  map.luma_scale = full ? 1.0f / 1023 : 1.0f / 876;
  map.chroma_scale = full ? 1.0f / 1023 : 1.0f / 896;
  const double kr = colours.bt709_matrix ? 0.2126 : 0.2627;
  const double kb = colours.bt709_matrix ? 0.0722 : 0.0593;
  const double kg = 1 - kr - kb;
  map.cr_to_r = static_cast<float>(2 * (1 - kr));
  map.cb_to_g = static_cast<float>(-2 * kb * (1 - kb) / kg);
  map.cr_to_g = static_cast<float>(-2 * kr * (1 - kr) / kg);
  map.cb_to_b = static_cast<float>(2 * (1 - kb));
  const matrix3 source_to_xyz = colours.bt709_primaries ? bt709_to_xyz() : bt2020_to_xyz();
  const matrix3 to_bt709 = multiplied(inverted(bt709_to_xyz()), source_to_xyz);
  for (int i = 0; i < 9; ++i) {
    map.to_bt709[i] = static_cast<float>(to_bt709[i]);
  }
  map.to_linear.resize(2 * signal_steps);
  for (int step = 0; step < signal_steps; ++step) {
    auto linear = [hlg](int at) {
      const double signal = static_cast<double>(at) * signal_limit / (signal_steps - 1);
      return hlg ? hlg_to_linear(signal) : pq_to_linear(signal);
    };
    map.to_linear[2 * step] = static_cast<float>(linear(step));
    map.to_linear[2 * step + 1] =
        step + 1 < signal_steps ? static_cast<float>(linear(step + 1) - linear(step)) : 0.0f;
  }
  map.to_display = log_table(display_range, bt709_from_linear);
  return map;
}

int tone_map_picture(hdr_tone_map& map, const AVFrame* in, AVFrame* out) {
  if (in->format != tone_map_input_format || in->width <= 0 || in->height <= 0) {
    return AVERROR(EINVAL);
  }
  out->format = AV_PIX_FMT_YUV420P;
  out->width = in->width;
  out->height = in->height;
  int result = av_frame_get_buffer(out, 0);
  if (result >= 0) {
    result = av_frame_copy_props(out, in);
  }
  if (result < 0) {
    av_frame_unref(out);
    return result;
  }
  // SDR now: the HDR light levels no longer describe it.
  av_frame_remove_side_data(out, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
  av_frame_remove_side_data(out, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
  out->color_primaries = output_primaries;
  out->color_trc = output_transfer;
  out->colorspace = output_matrix;
  out->color_range = output_range;
  out->chroma_location = AVCHROMA_LOC_LEFT;

  const double peak = curve_peak_of(in);
  if (map.curve_gain.empty() || peak != map.curve_peak) {
    map.curve_peak = peak;
    map.curve_gain = log_table(curve_range, [peak](double light) {
      return light > 0 ? mobius(light, peak) / light : 1.0;
    });
  }
  const int chroma_width = (in->width + 1) / 2;
  const int chroma_rows = (in->height + 1) / 2;
  const size_t stride = 2 * static_cast<size_t>(chroma_width);
  map.row_offsets.resize(3 * stride);
  map.row_rgb.resize(4 * 3 * stride);
  map.row_filtered.resize(3 * stride);
  map.row_chroma.resize(2 * (static_cast<size_t>(chroma_width) + 1));
  tone_map_tables tables{map.to_linear.data(), map.curve_gain.data(), map.to_display.data(), {},
                         map.luma_offset, map.luma_scale, map.vector_lanes};
  std::copy(std::begin(map.to_bt709), std::end(map.to_bt709), tables.to_bt709);
  const chroma_coefficients coefficients{map.chroma_scale, map.cr_to_r, map.cb_to_g, map.cr_to_g,
                                         map.cb_to_b};
  // The output R'G'B' of luma row `row` (kept for the last four rows; the
  // edge rows stand in for those past the picture).
  auto rgb_row = [&](int row, int channel) {
    const size_t slot = static_cast<size_t>(std::clamp(row, 0, in->height - 1) % 4);
    return map.row_rgb.data() + (3 * slot + channel) * stride;
  };
  auto plane_row = [](const AVFrame* picture, int plane, int row) {
    return picture->data[plane] + int64_t{row} * picture->linesize[plane];
  };
  tone_map_row pixels{nullptr, {}, nullptr, {}, in->width};
  for (int channel = 0; channel < 3; ++channel) {
    pixels.offsets[channel] = map.row_offsets.data() + channel * stride;
  }
  int next_chroma_row = 0;
  for (int row = 0; row < in->height; ++row) {
    const int own = row / 2;
    const int other = std::clamp(row % 2 == 0 ? own - 1 : own + 1, 0, chroma_rows - 1);
    const nearest_chroma chroma{reinterpret_cast<const uint16_t*>(plane_row(in, 1, own)),
                                reinterpret_cast<const uint16_t*>(plane_row(in, 1, other)),
                                reinterpret_cast<const uint16_t*>(plane_row(in, 2, own)),
                                reinterpret_cast<const uint16_t*>(plane_row(in, 2, other)),
                                chroma_width};
    interpolate_chroma(coefficients, chroma, map.row_chroma.data(), pixels);
    pixels.luma = reinterpret_cast<const uint16_t*>(plane_row(in, 0, row));
    pixels.out_luma = plane_row(out, 0, row);
    for (int channel = 0; channel < 3; ++channel) {
      pixels.rgb[channel] = rgb_row(row, channel);
    }
    map_row_pixels(tables, pixels);
    // Chroma row j sits between luma rows 2j and 2j + 1 and takes the rows
    // from 2j - 1 to 2j + 2: written once the last of them is made.
    for (; next_chroma_row < chroma_rows &&
           std::min(2 * next_chroma_row + 2, in->height - 1) <= row;
         ++next_chroma_row) {
      const int top = 2 * next_chroma_row - 1;
      const float* const rows[4][3] = {
          {rgb_row(top, 0), rgb_row(top, 1), rgb_row(top, 2)},
          {rgb_row(top + 1, 0), rgb_row(top + 1, 1), rgb_row(top + 1, 2)},
          {rgb_row(top + 2, 0), rgb_row(top + 2, 1), rgb_row(top + 2, 2)},
          {rgb_row(top + 3, 0), rgb_row(top + 3, 1), rgb_row(top + 3, 2)}};
      write_chroma_row(rows, in->width, map.row_filtered.data(),
                       plane_row(out, 1, next_chroma_row), plane_row(out, 2, next_chroma_row));
    }
  }
  return 0;
}

}  // namespace quorvane
