// The planning pass of a ladder split in time: a rendition whose pictures
// are decoded for their times alone, run over the whole upload. It notes
// the state before the packet where the timeline reaches each seam, makes
// the ladder's sound once (on a thread of its own, as a call does) and
// writes each window's share of it to a file, and hands each window over
// as soon as its file is complete, while it goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ffmpeg/step_failure.h"
#include "rendition/ladder_passes.h"

namespace quorvane {

struct planned_window {
  rendition_window part;
  std::string sound_file;  // its steps of the ladder's sound
};

// What the pass tells as it goes: each window once it can be encoded, and
// how far the pass has come, in seconds of the timeline. Either returns
// false to stop the pass.
struct planning_events {
  std::function<bool(const planned_window&)> on_window;
  std::function<bool(double seconds)> on_progress;
};

struct planning_outcome {
  std::optional<step_failure> failure;
  int64_t windows = 0;  // handed over, in time order from the start
};

// Plans windows of `step_slots` over `input` (pictures through a chain of
// `width` x `height`), each window's sound written into `folder`. A seam
// where a window could not resume cleanly (sound held at a join, a held
// picture it could not find again, a state it would refuse) is left out:
// the window before it runs on to the next.
planning_outcome plan_windows_pass(const std::string& input, int32_t width, int32_t height,
                                   int64_t step_slots, const std::string& folder,
                                   const planning_events& events);

}  // namespace quorvane
