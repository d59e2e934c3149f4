// Where pictures and sound land on the output's timeline: the shared origin,
// timestamps carried across joins in formats that allow discontinuities, and
// the placement of each picture on the encoder's 1/30 s grid.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/packet.h>
#include <libavformat/avformat.h>
#include <libavutil/rational.h>
}

namespace quorvane {

// The longest stretch of the timeline bridged with nothing playing through
// it: a jump in the timestamps, a pause in the pictures, the last picture's
// own time, and how far the sound may start after the pictures.
inline constexpr int64_t max_bridged_seconds = 5;

// The instant both streams count from, in microseconds of the source's
// timeline: the earlier of the two streams' starts, 0 when neither is known.
// `audio` is null for a source without sound.
int64_t shared_origin(const AVStream* video, const AVStream* audio);

// Seconds from `origin` (microseconds) to `timestamp` (in `time_base`), or
// NaN when the timestamp is unset. Computed in floating point, so crafted
// timestamps near the 64-bit limits cannot overflow.
double seconds_since(int64_t timestamp, AVRational time_base, int64_t origin);

// Formats such as MPEG-TS allow timestamps to jump (files joined with cat,
// a recorder restarting its clock); any file can claim a pause that no
// stream fills (pictures that stop at 1 s and resume hours later, without
// sound between). Such a jump is taken out of every following timestamp of
// the file, so the timeline runs on for both streams.
struct continuity_state {
  int64_t offset = 0;  // microseconds added to every timestamp
  int64_t next_dts[2] = {AV_NOPTS_VALUE, AV_NOPTS_VALUE};  // per stream, microseconds
};

struct timestamp_continuity {
  bool enabled = false;  // the input format allows jumps back
  continuity_state state;
};

timestamp_continuity make_timestamp_continuity(const AVFormatContext* input);

// Applies the running offset to `packet` of `stream` (slot 0 video, 1 audio),
// first moving the offset when the packet's timestamp jumped: back by more
// than 0.1 s in its own stream where the format allows it and
// `new_recording_allowed`, or forward by more than 5 s past everything any
// stream has reached.
void keep_timestamps_continuous(timestamp_continuity& continuity, AVPacket* packet,
                                const AVStream* stream, int slot,
                                bool new_recording_allowed = true);

// True when `packet` of `stream` would start a new recording: its timestamp
// jumps back in its own stream, in a format that allows that.
bool starts_new_recording(const timestamp_continuity& continuity, const AVPacket* packet,
                          const AVStream* stream, int slot);

// True when both streams have reached about the same time: neither has
// stopped while the other goes on.
bool streams_abreast(const timestamp_continuity& continuity);

// Where decoded sound lands on the timeline. Between timestamps the
// samples' own count is the clock; the timestamps say where the sound really
// is. A difference beyond `max_sound_step_seconds` (a hole where packets were
// lost, a block sent twice) is taken at once: the loudness chain fills the
// hole with silence or trims the repeat. Smaller differences (jittered
// timestamps, a capture clock that drifts against its timestamps) are
// smoothed, so that the chain stretches the sound gently by the drift
// instead of chasing every jittered timestamp.
inline constexpr double max_sound_step_seconds = 0.02;  // under one AAC frame
// The furthest a capture clock is followed by stretching its sound: 0.5 %,
// far beyond any device's crystal, a few cents of pitch.
inline constexpr double max_sound_drift = 0.005;

struct sound_clock {
  bool started = false;
  double next_seconds = 0;   // where the next sample lands if none is missing
  double drift_seconds = 0;  // smoothed (timestamp - next_seconds)
  // Sound counted since the last timestamp the file really holds: a
  // timestamp then speaks for all of it, however rarely the file stamps.
  double unstamped_seconds = 0;
};

// The time, in seconds after the origin, to give decoded sound of
// `frame_seconds` whose own timestamp says `seconds` (NaN: unknown).
double place_sound(sound_clock& clock, double seconds, double frame_seconds);

// Where the sound placed so far ends, in seconds after the origin.
double sound_end_seconds(const sound_clock& clock);

// A demuxer fills in the timestamp of a sound packet stored without one
// (the later frames of an MPEG-TS PES packet) from the previous packet's
// timestamp and duration. Where that duration is the sound's own, so is
// the timestamp; where it is the container's clock (an MP4 sample table,
// Matroska's block times), it says how that clock runs against the samples
// and is kept. Where the duration lies further from the sound decoded than
// any clock drifts, it is a guess from a stale rate (the stream switched
// from 48 to 44.1 kHz), and its timestamp is dropped: the sound is counted
// up to the next one the file really holds.
struct restated_timestamps {
  int64_t next_pts = AV_NOPTS_VALUE;  // the previous packet's timestamp plus its duration
  double claimed_seconds = 0;         // the previous packet's duration
  double decoded_seconds = 0;         // the sound decoded from it
};

// Notes `packet` (of a stream in `time_base`) on its way to the decoder;
// true when its timestamp is a guess to be dropped.
bool guessed_timestamp(restated_timestamps& stamps, const AVPacket* packet, AVRational time_base);

// Places decoded pictures on the 1/30 s grid. A picture goes to the slot
// nearest its time, measured against the source's own cadence (a running
// estimate of how far the grid lies from it), or to the next free slot when
// that one is taken, as long as that leaves it less than a slot late; only a
// source that really runs faster than 30 pictures per second loses pictures.
struct picture_clock {
  int64_t last_slot = AV_NOPTS_VALUE;  // slot of the last picture placed
  double cadence_offset = 0;           // average of (slot - picture time), in slots
  bool has_cadence = false;
};

// The slot for a picture `seconds` after the origin (NaN: unknown time), or
// AV_NOPTS_VALUE when the picture is to be left out.
int64_t place_picture(picture_clock& clock, double seconds);

// Slots further than this from the origin (a million years) are no
// timeline's: a time that would land there is not a usable one.
inline constexpr int64_t max_timeline_slot = 1'000'000'000'000'000;

// The slot the instant `seconds` after the origin falls in (rounded down),
// held within max_timeline_slot; 0 for a time that is not finite.
int64_t slot_at(double seconds);

}  // namespace quorvane
