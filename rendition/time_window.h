// A ladder split in time: each rendition writes only the part of the
// timeline its window covers, with the whole file's segment numbers, so that
// the windows' segments joined are the ones a single pass writes. Pictures
// are written from the window's first slot (a segment's start, so a
// keyframe) to its end. AAC frames overlap their neighbours, so the sound is
// encoded a few frames beyond each edge and only the packets that start
// inside the window are written. The pictures too are encoded from a
// little before the window and on a little after it, so that the H.264
// encoder's rate control and lookahead see around each seam what they see
// in one pass.
#pragma once

#include <cstdint>
#include <limits>

namespace quorvane {

inline constexpr int64_t unbounded_slot = std::numeric_limits<int64_t>::max() / 4;

struct time_window {
  int64_t first_slot = 0;             // the first slot written: a segment's start
  int64_t end_slot = unbounded_slot;  // the slot after the last one written
  int64_t pre_roll_slots = 60;  // pictures encoded before the first slot, not written
  bool planning = false;  // a planning pass: nothing is written
  // How far the timeline has come: the latest picture slot and sound block
  // (samples at the output rate from the origin) offered to the encoders.
  int64_t latest_slot = -unbounded_slot;
  int64_t latest_block = -unbounded_slot;
  // What has come past the window's end: a picture at or after `end_slot`,
  // and the sound beyond the last packet written.
  bool pictures_done = false;
  bool sound_done = false;
};

// How long before a window its pictures are encoded, for a source whose
// pictures come every `picture_seconds`.
int64_t picture_pre_roll_slots(double picture_seconds);

// True when the window starts where the media starts, or ends where it ends.
bool starts_with_media(const time_window& window);
bool ends_with_media(const time_window& window);

// True when both streams have come past the window's end: nothing the
// window writes is still to come.
bool window_done(const time_window& window);

// True when the timeline has reached `slot`: a picture there, or sound
// encoded for the AAC packets from there on (their lead-in included).
bool reaches_slot(const time_window& window, int64_t first_pts, int64_t slot);

// True when a picture at `slot` is to be encoded; notes when it lies past
// the window's end.
bool admits_picture(time_window& window, int64_t slot);

// True when a block of sound starting at `pts` (samples at the output rate
// from the origin) is to be encoded. `first_pts` is where the sound starts:
// the AAC packets lie on a grid of frames counted from there.
bool admits_sound_block(time_window& window, int64_t first_pts, int64_t pts);

// Which encoded packets a muxer writes: all of them, or those of one
// stream that belong to a window (`first_pts`: where the sound starts).
struct written_packets {
  const time_window* window = nullptr;
  bool sound = false;
  int64_t first_pts = 0;
};

// True when the encoded packet at `pts` (slots for pictures, samples for
// sound) is written.
bool writes_packet(const written_packets& written, int64_t pts);

}  // namespace quorvane
