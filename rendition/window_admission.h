// Which part of the timeline a pass encodes and writes: everything, or one
// window of a ladder split in time. A window writes the pictures of its
// slots (its first slot a segment's start, so a keyframe) and the sound
// packets that start inside it, on the grid of AAC frames counted from the
// start of the sound, so that joined windows write each packet once. Its
// pictures are encoded from a little before it to a little after it, only
// its own written, so that the H.264 encoder's rate control and lookahead
// see around each seam what they see in one pass.
#pragma once

#include <cstdint>
#include <limits>

namespace quorvane {

inline constexpr int64_t unbounded_slot = std::numeric_limits<int64_t>::max() / 4;

struct window_admission {
  int64_t first_slot = 0;             // the first slot written: a segment's start
  int64_t end_slot = unbounded_slot;  // the slot after the last one written
  int64_t pre_roll_slots = 0;  // pictures encoded before the first slot, not written
  bool writes = true;  // false: a pass that writes nothing (planning, the sound alone)
  // How far the timeline has come: the latest picture slot offered to the
  // encoder and the latest sound packet (samples at the output rate from
  // the origin) given out.
  int64_t latest_slot = -unbounded_slot;
  int64_t latest_sound = -unbounded_slot;
  // What has come past the window's end: a picture far enough after it for
  // the encoder's lookahead, and a sound packet that starts after it.
  bool pictures_done = false;
  bool sound_done = false;
  bool keyframe_checked = false;  // the window's first picture was a keyframe
};

// Pictures encoded before a window, for a source whose pictures come every
// `picture_seconds`: the encoder's rate control settles on them.
int64_t picture_pre_roll_slots(double picture_seconds);

bool starts_with_media(const window_admission& window);
bool ends_with_media(const window_admission& window);

// True when both streams have come past the window's end: nothing the
// window writes is still to come.
bool window_done(const window_admission& window);

// True when the timeline has reached `slot` as a window starting there
// sees it: a picture it encodes, or a sound packet it writes.
bool reaches_slot(const window_admission& reach, int64_t first_pts, int64_t slot,
                  int64_t pre_roll_slots);

// True when a window ending at `end_slot` has all it writes by the time the
// timeline reached `reach`.
bool passed_window_end(const window_admission& reach, int64_t first_pts, int64_t end_slot);

// True when a picture at `slot` is to be encoded; notes how far the
// pictures have come.
bool admits_picture(window_admission& window, int64_t slot);

// Notes a sound packet at `pts` given out; true when it is written.
// `first_pts` is where the sound starts.
bool admits_sound_packet(window_admission& window, int64_t first_pts, int64_t pts);

// True when the encoded picture at slot `pts` is written.
bool writes_picture(const window_admission& window, int64_t pts);

// Where a window's sound starts (or ends): the first AAC packet that starts
// at or after `slot`, in samples at the output rate from the origin.
int64_t first_sound_packet_from(int64_t slot, int64_t first_pts);

}  // namespace quorvane
