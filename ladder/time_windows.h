// A ladder split in time: the windows a planning pass finds in an upload,
// and one window of every rung encoded as one call encodes the whole file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ladder/ladder_driver.h"
#include "rendition/transcode_rendition.h"

namespace quorvane {

// One window: slots [first_slot, end_slot) of the timeline (end_slot
// unbounded for the last), resumed from the planning pass's state (none for
// the first).
struct ladder_window {
  rendition_window part;
  int64_t first_segment() const;
  double start_seconds() const;
  std::optional<double> end_seconds() const;  // empty for the last
};

struct window_plan {
  std::optional<step_failure> failure;  // the upload cannot be split
  std::vector<ladder_window> windows;   // in time order, from the start
};

// Splits the upload's timeline into windows of `window_seconds` (a multiple
// of the segment length). A seam where a window could not resume cleanly is
// left out, so a window may run on over the next.
window_plan plan_ladder_windows(const std::string& input, int64_t window_seconds);

// Encodes `window` of every rung into the working directory as hls_encoder
// does the whole file (the master playlist there lists the window's
// renditions): the rungs that failed and why.
std::vector<rung_failure> encode_ladder_window(std::string input, std::string output,
                                               std::vector<std::string> resolution,
                                               std::vector<int32_t> bitrate, std::string key,
                                               const ladder_window& window);

}  // namespace quorvane
