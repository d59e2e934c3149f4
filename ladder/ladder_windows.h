// A ladder split in time: the windows a planning pass finds in an upload,
// and one window of every rung encoded as one call encodes the whole file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ladder/ladder_driver.h"
#include "rendition/planning_pass.h"

namespace quorvane {

// One window: slots [first_slot, end_slot) of the timeline (end_slot
// unbounded for the last), resumed from the planning pass's state (none for
// the first), its sound taken from the file `sound_file`.
using ladder_window = planned_window;

// Why `window` cannot be encoded as one a planning pass gives (the field
// that is out of range or does not fit); empty when it can.
std::optional<std::string> window_refusal(const ladder_window& window);

struct window_plan_outcome {
  std::optional<step_failure> failure;
  bool unsplittable = false;  // the failure is only that no seam could be placed
};

// Splits the upload's timeline into windows of `window_seconds` (a multiple
// of the segment length), writing each window's sound into `folder` and
// handing each over as soon as it can be encoded. A seam where a window
// could not resume cleanly is left out, so a window may run on over the
// next.
window_plan_outcome plan_ladder_windows(const std::string& input, int64_t window_seconds,
                                        const std::string& folder, const planning_events& events);

// Encodes `window` of every rung into the working directory as hls_encoder
// does the whole file (the master playlist there lists the window's
// renditions): the rungs that failed and why.
std::vector<rung_failure> encode_ladder_window(std::string input, std::string output,
                                               std::vector<std::string> resolution,
                                               std::vector<int32_t> bitrate, std::string key,
                                               const ladder_window& window);

}  // namespace quorvane
