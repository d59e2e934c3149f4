// The timeline's arithmetic on what a hostile container carries: the bytes
// become packets of a video and a sound stream (timestamps near the 64-bit
// limits, missing ones, jumps back and forth, durations, odd time bases),
// placed as the rendition places them. What must hold: the timestamps stay
// continuous (no jump forward past what the streams covered, none back in a
// format that allows jumps); picture slots never go backwards; every sound
// frame is placed, within a sound step of its timestamp, and the sound's end
// moves by exactly the frame.
#include <cmath>
#include <cstdint>
#include <limits>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_checks.h"
#include "rendition/media_timeline.h"

using namespace quorvane;
using quorvane_fuzz::require;

namespace {

// Timestamps a fuzzer would rarely reach by chance: the limits, unset, and
// values around the 33-bit MPEG-TS wrap.
int64_t timestamp(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: return AV_NOPTS_VALUE;
    case 1: return std::numeric_limits<int64_t>::max() - input.ConsumeIntegralInRange<int64_t>(0, 1000);
    case 2: return std::numeric_limits<int64_t>::min() + 1 + input.ConsumeIntegralInRange<int64_t>(0, 1000);
    case 3: return (int64_t{1} << 33) + input.ConsumeIntegralInRange<int64_t>(-100000, 100000);
    case 4: return input.ConsumeIntegral<int64_t>();
    default: return input.ConsumeIntegralInRange<int64_t>(-1000000, 100000000);
  }
}

AVRational time_base(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return {1, 90000};
    case 1: return {1, 1000};
    case 2: return {1, 48000};
    default: return {input.ConsumeIntegralInRange(-1, 100000), input.ConsumeIntegralInRange(-1, 1000000)};
  }
}

// Slots and seconds far beyond any real file are outside what must hold.
bool within_reach(double seconds) { return std::isfinite(seconds) && std::fabs(seconds) < 1e9; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  AVStream streams[2] = {};
  for (AVStream& stream : streams) {
    stream.time_base = time_base(input);
    stream.start_time = timestamp(input);
  }
  const int64_t origin = shared_origin(&streams[0], &streams[1]);
  timestamp_continuity continuity;
  continuity.enabled = input.ConsumeBool();
  picture_clock pictures;
  sound_clock sound;
  restated_timestamps stamps;
  int64_t last_slot = AV_NOPTS_VALUE;
  AVPacket* packet = av_packet_alloc();
  require(packet != nullptr, "a packet is allocated");
  while (input.remaining_bytes() > 0) {
    const int slot = input.ConsumeBool() ? 1 : 0;
    const AVStream* stream = &streams[slot];
    packet->pts = timestamp(input);
    packet->dts = input.ConsumeBool() ? packet->pts : timestamp(input);
    packet->duration = input.ConsumeBool() ? input.ConsumeIntegralInRange<int64_t>(0, 100000) : timestamp(input);
    const bool allowed = input.ConsumeBool();
    const int64_t covered_before = std::max(continuity.state.next_dts[0], continuity.state.next_dts[1]);
    const int64_t next_before = continuity.state.next_dts[slot];
    const bool new_recording = starts_new_recording(continuity, packet, stream, slot);
    keep_timestamps_continuous(continuity, packet, stream, slot, allowed);
    const int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    const double since = seconds_since(stamp, stream->time_base, 0);
    if (stamp != AV_NOPTS_VALUE && within_reach(since) && within_reach(1e-6 * static_cast<double>(covered_before)) &&
        covered_before != AV_NOPTS_VALUE) {
      const double tick = std::fabs(av_q2d(stream->time_base));
      require(since <= 1e-6 * static_cast<double>(covered_before) + max_bridged_seconds + tick + 1e-6,
              "a jump forward past what the streams covered is closed");
      if (continuity.enabled && allowed && new_recording && next_before != AV_NOPTS_VALUE) {
        require(since >= 1e-6 * static_cast<double>(next_before) - 0.1 - tick - 1e-6,
                "a new recording follows on from its stream");
      }
    }
    const double seconds = seconds_since(packet->pts, stream->time_base, origin);
    if (slot == 0) {
      const int64_t placed = place_picture(pictures, seconds);
      if (placed != AV_NOPTS_VALUE) {
        require(last_slot == AV_NOPTS_VALUE || placed > last_slot, "picture slots never go backwards");
        last_slot = placed;
      }
      continue;
    }
    const bool guessed = guessed_timestamp(stamps, packet, stream->time_base);
    const double frame = input.ConsumeFloatingPointInRange(0.0, 0.2);
    stamps.decoded_seconds += frame;
    const double stamped = guessed ? std::nan("") : seconds;
    const double end_before = sound_end_seconds(sound);
    const double placed = place_sound(sound, stamped, frame);
    if ((!std::isnan(stamped) && !within_reach(stamped)) || !within_reach(end_before)) {
      continue;
    }
    const double slack = 1e-9 * (1 + std::fabs(placed));
    if (std::isnan(stamped)) {
      require(std::fabs(placed - end_before) <= slack, "unstamped sound follows the sound before");
    } else {
      require(std::fabs(placed - stamped) <= max_sound_step_seconds + slack,
              "stamped sound lands within a step of its timestamp");
    }
    require(std::fabs(sound_end_seconds(sound) - (placed + frame)) <= slack,
            "the sound's end moves by exactly the frame placed");
  }
  av_packet_free(&packet);
  return 0;
}
