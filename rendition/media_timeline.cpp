#include "rendition/media_timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

extern "C" {
#include <libavutil/mathematics.h>
}

#include "hls/output_format.h"

namespace quorvane {

namespace {

// A picture may land at most this far (in slots) after its own time; one
// that would land later is a picture too many for a 30 per second grid.
constexpr double max_lateness = 0.9;
// How quickly the estimate of the source's cadence follows the pictures.
constexpr double cadence_weight = 0.1;
// Jumps that count as discontinuities: back by more than this, or forward by
// more than that, in microseconds.
constexpr int64_t max_backward_step = 100000;
constexpr int64_t max_forward_step = max_bridged_seconds * AV_TIME_BASE;
// How slowly the sound clock's drift estimate follows the timestamps: it
// averages timestamp jitter of a few milliseconds down to a fraction of one,
// and lags a drift of 0.05 % by half a millisecond.
constexpr double sound_drift_seconds = 1.0;

int64_t saturating_add(int64_t a, int64_t b) {
  int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) {
    return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min() + 1;
  }
  return sum;
}

int64_t saturating_sub(int64_t a, int64_t b) {
  int64_t difference = 0;
  if (__builtin_sub_overflow(a, b, &difference)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min() + 1;
  }
  return difference;
}

// Timestamps beyond this (some 73,000 years) are taken as none: below it,
// the offsets that join recordings and the sums of the timeline stay exact
// in 64 bits, where saturating at the limits would let jumps through.
constexpr int64_t max_timestamp_microseconds = int64_t{1} << 61;

// av_rescale_q answers INT64_MIN (AV_NOPTS_VALUE) when the result overflows.
int64_t to_microseconds(int64_t timestamp, AVRational time_base) {
  if (timestamp == AV_NOPTS_VALUE || time_base.num <= 0 || time_base.den <= 0) {
    return AV_NOPTS_VALUE;
  }
  const int64_t microseconds = av_rescale_q(timestamp, time_base, AV_TIME_BASE_Q);
  return microseconds != AV_NOPTS_VALUE && std::llabs(microseconds) <= max_timestamp_microseconds
             ? microseconds
             : AV_NOPTS_VALUE;
}

int64_t stream_start(const AVStream* stream) {
  return to_microseconds(stream->start_time, stream->time_base);
}

void shift_timestamp(int64_t& timestamp, int64_t shift) {
  if (timestamp != AV_NOPTS_VALUE) {
    timestamp = saturating_add(timestamp, shift);
    if (timestamp == AV_NOPTS_VALUE) {
      ++timestamp;
    }
  }
}

}  // namespace

int64_t shared_origin(const AVStream* video, const AVStream* audio) {
  const int64_t video_start = stream_start(video);
  const int64_t audio_start = audio != nullptr ? stream_start(audio) : AV_NOPTS_VALUE;
  if (video_start != AV_NOPTS_VALUE && audio_start != AV_NOPTS_VALUE) {
    return std::min(video_start, audio_start);
  }
  if (video_start != AV_NOPTS_VALUE) {
    return video_start;
  }
  return audio_start != AV_NOPTS_VALUE ? audio_start : 0;
}

double seconds_since(int64_t timestamp, AVRational time_base, int64_t origin) {
  if (timestamp == AV_NOPTS_VALUE || time_base.num <= 0 || time_base.den <= 0) {
    return std::nan("");
  }
  return static_cast<double>(timestamp) * time_base.num / time_base.den -
         static_cast<double>(origin) / AV_TIME_BASE;
}

timestamp_continuity make_timestamp_continuity(const AVFormatContext* input) {
  timestamp_continuity continuity;
  continuity.enabled = (input->iformat->flags & AVFMT_TS_DISCONT) != 0;
  return continuity;
}

namespace {

// The furthest any stream's content reaches, or AV_NOPTS_VALUE before the
// first packet.
int64_t covered_until(const timestamp_continuity& continuity) {
  int64_t furthest = AV_NOPTS_VALUE;
  for (const int64_t next : continuity.state.next_dts) {
    if (next != AV_NOPTS_VALUE && (furthest == AV_NOPTS_VALUE || next > furthest)) {
      furthest = next;
    }
  }
  return furthest;
}

// The packet's decoding time in microseconds on the timeline as it stands,
// or AV_NOPTS_VALUE.
int64_t continued_dts(const timestamp_continuity& continuity, const AVPacket* packet,
                      const AVStream* stream) {
  const int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
  const int64_t dts = to_microseconds(stamp, stream->time_base);
  return dts == AV_NOPTS_VALUE ? dts : saturating_add(dts, continuity.state.offset);
}

bool jumps_back(const timestamp_continuity& continuity, int64_t dts, int slot) {
  const int64_t next = continuity.state.next_dts[slot];
  return continuity.enabled && next != AV_NOPTS_VALUE &&
         saturating_sub(dts, next) < -max_backward_step;
}

}  // namespace

bool starts_new_recording(const timestamp_continuity& continuity, const AVPacket* packet,
                          const AVStream* stream, int slot) {
  const int64_t dts = continued_dts(continuity, packet, stream);
  return dts != AV_NOPTS_VALUE && jumps_back(continuity, dts, slot);
}

bool streams_abreast(const timestamp_continuity& continuity) {
  const int64_t video = continuity.state.next_dts[0];
  const int64_t audio = continuity.state.next_dts[1];
  return video != AV_NOPTS_VALUE && audio != AV_NOPTS_VALUE &&
         std::llabs(saturating_sub(video, audio)) <= max_forward_step;
}

void keep_timestamps_continuous(timestamp_continuity& continuity, AVPacket* packet,
                                const AVStream* stream, int slot, bool new_recording_allowed) {
  int64_t dts = continued_dts(continuity, packet, stream);
  if (dts == AV_NOPTS_VALUE) {
    return;
  }
  int64_t& next = continuity.state.next_dts[slot];
  // A jump forward that no stream's content covers is closed in every
  // format: bridging it would encode time the file holds nothing for. A jump
  // back is a new recording only where the format allows discontinuities.
  const int64_t covered = covered_until(continuity);
  int64_t step = 0;
  if (covered != AV_NOPTS_VALUE && saturating_sub(dts, covered) > max_forward_step) {
    step = saturating_sub(dts, covered);
  } else if (new_recording_allowed && jumps_back(continuity, dts, slot)) {
    step = saturating_sub(dts, next);
  }
  if (step != 0) {
    continuity.state.offset = saturating_sub(continuity.state.offset, step);
    dts = saturating_sub(dts, step);
  }
  if (continuity.state.offset != 0) {
    const int64_t shift = av_rescale_q(continuity.state.offset, AV_TIME_BASE_Q, stream->time_base);
    if (shift != AV_NOPTS_VALUE) {
      shift_timestamp(packet->pts, shift);
      shift_timestamp(packet->dts, shift);
    }
  }
  const int64_t duration = packet->duration > 0 ? to_microseconds(packet->duration, stream->time_base)
                                                : 0;
  next = std::max(next == AV_NOPTS_VALUE ? dts : next,
                  saturating_add(dts, duration == AV_NOPTS_VALUE ? 0 : duration));
}

double place_sound(sound_clock& clock, double seconds, double frame_seconds) {
  const double frame = std::max(frame_seconds, 0.0);
  double placed = clock.next_seconds + clock.drift_seconds;
  if (std::isnan(seconds)) {
    clock.unstamped_seconds += frame;
  } else {
    const double offset = seconds - clock.next_seconds;
    if (!clock.started || std::fabs(offset - clock.drift_seconds) > max_sound_step_seconds) {
      clock.next_seconds = seconds;  // a hole or a repeat: the timestamp holds
      clock.drift_seconds = 0;
      placed = seconds;
    } else {
      // Weighed by the sound since the last timestamp, not by this frame
      // alone: a file whose timestamps are coarser than its packets (10 ms
      // of PCM stamped to the millisecond) repeats the count in most of
      // them, and those carry nothing; the few that differ must move the
      // estimate as far as a timestamp on every packet would.
      const double elapsed = clock.unstamped_seconds + frame;
      const double weight = 1 - std::exp(-elapsed / sound_drift_seconds);
      clock.drift_seconds += weight * (offset - clock.drift_seconds);
      placed = clock.next_seconds + clock.drift_seconds;
    }
    clock.unstamped_seconds = 0;
  }
  clock.started = true;
  clock.next_seconds += frame;
  return placed;
}

double sound_end_seconds(const sound_clock& clock) {
  return clock.next_seconds + clock.drift_seconds;
}

bool guessed_timestamp(restated_timestamps& stamps, const AVPacket* packet,
                       AVRational time_base) {
  const double tick = time_base.den > 0 ? static_cast<double>(time_base.num) / time_base.den : 0;
  const bool restated = packet->pts != AV_NOPTS_VALUE && packet->pts == stamps.next_pts;
  const bool guessed =
      restated && std::fabs(stamps.claimed_seconds - stamps.decoded_seconds) >
                      max_sound_drift * stamps.decoded_seconds + tick;
  int64_t end = 0;
  const bool spans = packet->pts != AV_NOPTS_VALUE && packet->duration > 0 &&
                     !__builtin_add_overflow(packet->pts, packet->duration, &end);
  stamps.next_pts = spans ? end : AV_NOPTS_VALUE;
  stamps.claimed_seconds = spans ? static_cast<double>(packet->duration) * tick : 0;
  stamps.decoded_seconds = 0;
  return guessed;
}

int64_t place_picture(picture_clock& clock, double seconds) {
  const int64_t next_free = clock.last_slot == AV_NOPTS_VALUE ? 0 : clock.last_slot + 1;
  if (std::isnan(seconds)) {
    // A picture without a time follows the previous one.
    clock.last_slot = next_free;
    return next_free;
  }
  const double time = seconds * slots_per_second;
  const double nearest = std::floor(time + (clock.has_cadence ? clock.cadence_offset : 0) + 0.5);
  if (!std::isfinite(nearest) || std::fabs(nearest) > static_cast<double>(max_timeline_slot)) {
    return AV_NOPTS_VALUE;
  }
  const int64_t slot = std::max(static_cast<int64_t>(nearest), next_free);
  const double lateness = static_cast<double>(slot) - time;
  if (lateness > max_lateness) {
    return AV_NOPTS_VALUE;
  }
  clock.cadence_offset = clock.has_cadence
                             ? clock.cadence_offset + cadence_weight * (lateness - clock.cadence_offset)
                             : lateness;
  clock.cadence_offset = std::clamp(clock.cadence_offset, -0.5, 0.5);
  clock.has_cadence = true;
  clock.last_slot = slot;
  return slot;
}

int64_t slot_at(double seconds) {
  const double slot = std::floor(seconds / av_q2d(grid_time_base));
  const auto most = static_cast<double>(max_timeline_slot);
  return std::isfinite(slot) ? static_cast<int64_t>(std::clamp(slot, -most, most)) : 0;
}

}  // namespace quorvane
