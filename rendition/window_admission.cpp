#include "rendition/window_admission.h"

#include <algorithm>
#include <cmath>

#include "hls/output_format.h"

namespace quorvane {

namespace {

constexpr int64_t aac_frame_samples = 1024;
constexpr int64_t samples_per_slot = output_sample_rate / slots_per_second;
// Pictures encoded after a window's end, for the encoder's lookahead (30
// pictures deep): with fewer, a still picture's last pictures came out up to
// 0.8 dB below the one call's.
constexpr int64_t post_roll_slots = 30;

}  // namespace

int64_t first_sound_packet_from(int64_t slot, int64_t first_pts) {
  // Packets start one frame before the blocks they come from (the encoder's
  // priming), on the grid of frames counted from the start of the sound.
  const int64_t grid = first_pts - aac_frame_samples;
  const int64_t samples = slot * samples_per_slot;
  if (samples <= grid) {
    return grid;
  }
  return grid + (samples - grid + aac_frame_samples - 1) / aac_frame_samples * aac_frame_samples;
}

int64_t picture_pre_roll_slots(double picture_seconds) {
  // The H.264 encoder's rate control follows all it has encoded: the
  // pictures before a window are encoded again for it to settle near where
  // one pass has it. 30 of them keep every kind of source within 0.2 dB of
  // the one call at the seams (20 left 15 per second 0.33 dB below).
  constexpr int64_t pictures = 30;
  constexpr int64_t least = 30;
  constexpr int64_t most = 900;
  const double slots = pictures * picture_seconds * slots_per_second;
  return std::isfinite(slots) ? std::clamp(static_cast<int64_t>(slots), least, most) : most;
}

bool starts_with_media(const window_admission& window) { return window.first_slot <= 0; }

bool ends_with_media(const window_admission& window) { return window.end_slot >= unbounded_slot; }

bool window_done(const window_admission& window) {
  return !ends_with_media(window) && window.pictures_done && window.sound_done;
}

bool reaches_slot(const window_admission& reach, int64_t first_pts, int64_t slot,
                  int64_t pre_roll_slots) {
  return reach.latest_slot >= slot - pre_roll_slots ||
         (reach.latest_sound > -unbounded_slot &&
          reach.latest_sound >= first_sound_packet_from(slot, first_pts));
}

bool passed_window_end(const window_admission& reach, int64_t first_pts, int64_t end_slot) {
  return reach.latest_slot >= end_slot + post_roll_slots &&
         reach.latest_sound > -unbounded_slot &&
         reach.latest_sound >= first_sound_packet_from(end_slot, first_pts);
}

bool admits_picture(window_admission& window, int64_t slot) {
  window.latest_slot = std::max(window.latest_slot, slot);
  if (!ends_with_media(window) && slot >= window.end_slot + post_roll_slots) {
    window.pictures_done = true;
  }
  return window.writes &&
         (starts_with_media(window) || slot >= window.first_slot - window.pre_roll_slots) &&
         (ends_with_media(window) || slot < window.end_slot + post_roll_slots);
}

bool admits_sound_packet(window_admission& window, int64_t first_pts, int64_t pts) {
  window.latest_sound = std::max(window.latest_sound, pts);
  const bool before_end =
      ends_with_media(window) || pts < first_sound_packet_from(window.end_slot, first_pts);
  if (!before_end) {
    window.sound_done = true;
  }
  return window.writes && before_end &&
         (starts_with_media(window) || pts >= first_sound_packet_from(window.first_slot, first_pts));
}

bool writes_picture(const window_admission& window, int64_t pts) {
  return window.writes && (starts_with_media(window) || pts >= window.first_slot) &&
         (ends_with_media(window) || pts < window.end_slot);
}

}  // namespace quorvane
