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
struct timestamp_continuity {
  bool enabled = false;        // the input format allows jumps back
  int64_t offset = 0;          // microseconds added to every timestamp
  int64_t next_dts[2] = {AV_NOPTS_VALUE, AV_NOPTS_VALUE};  // per stream, microseconds
};

timestamp_continuity make_timestamp_continuity(const AVFormatContext* input);

// Applies the running offset to `packet` of `stream` (slot 0 video, 1 audio),
// first moving the offset when the packet's timestamp jumped: back by more
// than 0.1 s in its own stream where the format allows it, or forward by
// more than 5 s past everything any stream has reached.
void keep_timestamps_continuous(timestamp_continuity& continuity, AVPacket* packet,
                                const AVStream* stream, int slot);

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

}  // namespace quorvane
