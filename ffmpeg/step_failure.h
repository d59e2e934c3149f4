// Why a step failed: the step ("opening the output 720p_000.ts") and the
// reason, FFmpeg's error text or a rule of our own ("the source has no video
// stream").
#pragma once

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

// "PATH: DOING: " and the system's reason for the last failed call (errno).
std::string system_reason(const std::string& path, const char* doing);

}  // namespace quorvane
