#include "rendition/time_window.h"

#include <algorithm>
#include <cmath>

#include "hls/output_format.h"

namespace quorvane {

namespace {

constexpr int64_t aac_frame_samples = 1024;
constexpr int64_t samples_per_slot = output_sample_rate / slots_per_second;
// Frames encoded before the first packet written, and after the last, so
// that the packets at a seam are coded with their neighbours as in one pass.
constexpr int64_t pre_roll_samples = 2 * aac_frame_samples;
constexpr int64_t post_roll_samples = aac_frame_samples;
// The same for pictures, in slots: the encoder's 1 s lookahead after.
constexpr int64_t post_roll_slots = slots_per_second;

// The first AAC packet that starts at or after `slot`. Packets start one
// frame before the blocks they come from (the encoder's priming), on the
// grid of frames counted from the start of the sound.
int64_t first_packet_from(int64_t slot, int64_t first_pts) {
  const int64_t grid = first_pts - aac_frame_samples;
  const int64_t samples = slot * samples_per_slot;
  if (samples <= grid) {
    return grid;
  }
  return grid + (samples - grid + aac_frame_samples - 1) / aac_frame_samples * aac_frame_samples;
}

}  // namespace

int64_t picture_pre_roll_slots(double picture_seconds) {
  // The H.264 encoder's rate control follows all it has encoded: the
  // pictures before a window are encoded again, 60 of them, for it to
  // settle where one pass has it (on a still picture, within 0.3 dB).
  constexpr int64_t pictures = 60;
  constexpr int64_t least = 60;
  constexpr int64_t most = 900;
  const double slots = pictures * picture_seconds * slots_per_second;
  return std::isfinite(slots) ? std::clamp(static_cast<int64_t>(slots), least, most) : most;
}

bool starts_with_media(const time_window& window) { return window.first_slot <= 0; }

bool ends_with_media(const time_window& window) { return window.end_slot >= unbounded_slot; }

bool window_done(const time_window& window) {
  return !ends_with_media(window) && window.pictures_done && window.sound_done;
}

bool reaches_slot(const time_window& window, int64_t first_pts, int64_t slot) {
  return window.latest_slot >= slot - window.pre_roll_slots ||
         (window.latest_block > -unbounded_slot &&
          window.latest_block >= first_packet_from(slot, first_pts) - pre_roll_samples);
}

bool admits_picture(time_window& window, int64_t slot) {
  window.latest_slot = std::max(window.latest_slot, slot);
  if (!ends_with_media(window) && slot >= window.end_slot + post_roll_slots) {
    window.pictures_done = true;
  }
  return !window.planning &&
         (starts_with_media(window) || slot >= window.first_slot - window.pre_roll_slots) &&
         (ends_with_media(window) || slot < window.end_slot + post_roll_slots);
}

bool admits_sound_block(time_window& window, int64_t first_pts, int64_t pts) {
  window.latest_block = std::max(window.latest_block, pts);
  if (!ends_with_media(window) &&
      pts >= first_packet_from(window.end_slot, first_pts) + post_roll_samples) {
    window.sound_done = true;
  }
  if (window.planning) {
    return false;
  }
  const bool after_start = starts_with_media(window) ||
                           pts >= first_packet_from(window.first_slot, first_pts) - pre_roll_samples;
  const bool before_end = ends_with_media(window) ||
                          pts <= first_packet_from(window.end_slot, first_pts) + post_roll_samples;
  return after_start && before_end;
}

bool writes_packet(const written_packets& written, int64_t pts) {
  const time_window* window = written.window;
  if (window == nullptr) {
    return true;
  }
  const auto edge = [&](int64_t slot) {
    return written.sound ? first_packet_from(slot, written.first_pts) : slot;
  };
  return (starts_with_media(*window) || pts >= edge(window->first_slot)) &&
         (ends_with_media(*window) || pts < edge(window->end_slot));
}

}  // namespace quorvane
