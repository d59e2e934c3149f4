// How one rendition ended, and why when it failed. A failure names the step
// that failed ("opening the output 720p_000.ts") and the reason: FFmpeg's
// error text, or a rule of our own ("the source has no video stream").
#pragma once

#include <optional>
#include <string>

namespace quorvane {

struct step_failure {
  std::string step;
  std::string reason;
};

// FFmpeg's text for an error code, as av_strerror gives it.
std::string ffmpeg_error_text(int code);

// A step that failed with FFmpeg's error `code`.
step_failure ffmpeg_failure(std::string step, int code);

struct rendition_outcome {
  std::optional<step_failure> failure;  // empty: the media playlist was completed
  // What was written, for the master playlist: the video stream's RFC 6381
  // codec name ("avc1.64001f"), empty when unknown.
  std::string video_codec;
  bool completed() const { return !failure; }
};

}  // namespace quorvane
