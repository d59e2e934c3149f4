// How one rendition ended, and why when it failed.
#pragma once

#include <optional>
#include <string>

#include "ffmpeg/step_failure.h"

namespace quorvane {

struct rendition_outcome {
  std::optional<step_failure> failure;  // empty: the media playlist was completed
  // What was written, for the master playlist: the video stream's RFC 6381
  // codec name ("avc1.64001f"), empty when unknown.
  std::string video_codec;
  bool completed() const { return !failure; }
};

}  // namespace quorvane
