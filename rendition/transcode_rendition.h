// One rendition of the ladder: the input's best video stream scaled, turned
// upright and encoded to H.264, its best audio stream loudness-normalised and
// encoded to AAC, both written as AES-128 encrypted HLS segments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rendition/rendition_outcome.h"
#include "rendition/time_window.h"
#include "rendition/timeline_snapshot.h"

namespace quorvane {

// The part of the timeline a rendition writes: slots [first_slot, end_slot)
// into segments numbered from first_slot's, resuming from `resume`, the
// state a planning pass found before the packet where the part begins.
// Everything, by default.
struct rendition_window {
  int64_t first_slot = 0;
  int64_t end_slot = unbounded_slot;
  std::optional<timeline_snapshot> resume;
};

// Where a ladder split in time may start a window: a segment's first slot
// and the state to resume from there.
struct planned_seam {
  int64_t slot = 0;
  timeline_snapshot resume;
};

struct seam_plan_outcome {
  std::optional<step_failure> failure;
  std::vector<planned_seam> seams;  // in time order, the start not among them
};

// A planning pass over `input`: decodes it (pictures through a chain of
// `width` x `height`), places everything as a rendition does, encodes
// nothing, and notes the state before the packet where each multiple of
// `step_slots` is reached. A seam where a window could not resume cleanly
// (sound held at a join, nothing decodable before the held picture) is left
// out: the window before it runs on to the next.
seam_plan_outcome plan_seams(const std::string& input, int32_t width, int32_t height,
                             int64_t step_slots);

// Says whether the rendition's media playlist was completed (its trailer
// written) and, if not, which step failed and why. Partial files stay on disk.
rendition_outcome transcode_rendition(std::string input, std::string playlist, int32_t width, int32_t height,
                         int32_t bitrate, std::string key);

// The same for one part of the timeline.
rendition_outcome transcode_rendition_part(std::string input, std::string playlist, int32_t width,
                                           int32_t height, int32_t bitrate, std::string key,
                                           const rendition_window& window);

}  // namespace quorvane
