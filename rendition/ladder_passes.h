// The two passes through an upload that every rung of a ladder takes from:
// the ladder's sound, made once and handed to the picture pass; and the
// ladder's pictures, decoded, placed on the timeline and through the
// source's own steps once, handed to every rung with the sound's steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "rendition/rung_events.h"
#include "rendition/sound_track.h"
#include "rendition/timeline_state.h"
#include "rendition/window_admission.h"

namespace quorvane {

// The part of the timeline a ladder writes: slots [first_slot, end_slot)
// into segments numbered from first_slot's, resuming from `resume`, the
// state a planning pass found before the packet where the part begins.
// Everything, by default.
struct rendition_window {
  int64_t first_slot = 0;
  int64_t end_slot = unbounded_slot;
  std::optional<resume_point> resume;
};

// Where the picture pass takes the ladder's sound: `track`, which it joins
// and seals as its one reader. A call's track carries no silence (the pass
// makes the silence of a source without sound); a window's does.
struct ladder_sound_source {
  sound_track* track = nullptr;
  bool carries_silence = false;
};

// The ladder's pictures for the rungs that joined `rungs`, whose largest
// frame is `largest_frame`: a pass over `input` within `window`, the sound's
// steps taken from `sound`. It ends the hand-over, with its failure when it
// failed, and stops early once no rung takes anything more.
void make_ladder_pictures(const std::string& input, const rendition_window& window,
                          const ladder_sound_source& sound, frame_box largest_frame,
                          rung_handover& rungs) noexcept;

// A call's passes: the sound made on a thread of its own and taken by the
// picture pass, which runs on this one.
void make_call_passes(const std::string& input, frame_box largest_frame,
                      rung_handover& rungs) noexcept;

// The ladder's sound made once: a pass over `input` that decodes its sound
// alone. It ends the track, with its failure when it failed, and stops
// early once nobody reads it any more.
void make_ladder_sound(const std::string& input, sound_track& track) noexcept;

}  // namespace quorvane
