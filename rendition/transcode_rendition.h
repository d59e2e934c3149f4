// One rendition of the ladder: the input's best video stream scaled, turned
// upright and encoded to H.264, with the ladder's sound (loudness-normalised
// AAC), both written as AES-128 encrypted HLS segments; and the pass that
// makes that sound once for every rendition of a call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "rendition/rendition_outcome.h"
#include "rendition/sound_track.h"
#include "rendition/timeline_state.h"
#include "rendition/window_admission.h"

namespace quorvane {

// The part of the timeline a rendition writes: slots [first_slot,
// end_slot) into segments numbered from first_slot's, resuming from
// `resume`, the state a planning pass found before the packet where the
// part begins. Everything, by default.
struct rendition_window {
  int64_t first_slot = 0;
  int64_t end_slot = unbounded_slot;
  std::optional<resume_point> resume;
};

// Where a rendition's sound comes from: made by itself (no reader), or taken
// from the ladder's track through `reader`, registered by whoever runs the
// rendition, which leaves the track once the rendition has ended. A call's
// track carries no silence: a rendition of a source without sound makes its
// own.
struct rendition_sound {
  track_reader* reader = nullptr;
  bool carries_silence = false;
};

// Says whether the rendition's media playlist was completed (its trailer
// written) and, if not, which step failed and why. Partial files stay on disk.
rendition_outcome transcode_rendition(std::string input, std::string playlist, int32_t width,
                                      int32_t height, int32_t bitrate, std::string key,
                                      const rendition_window& window = {},
                                      const rendition_sound& sound = {});

// The ladder's sound made once, for the renditions of one call: a pass over
// `input` that decodes its sound alone. It ends the track, with its failure
// when it failed, and stops early once no rendition reads any more.
void make_ladder_sound(const std::string& input, sound_track& track) noexcept;

}  // namespace quorvane
