#include "ffmpeg/step_failure.h"

#include <cerrno>
#include <cstring>
#include <utility>

extern "C" {
#include <libavutil/error.h>
}

namespace quorvane {

std::string ffmpeg_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);  // unknown codes get a generic text
  return text;
}

step_failure ffmpeg_failure(std::string step, int code) {
  return step_failure{std::move(step), ffmpeg_error_text(code)};
}

std::string system_reason(const std::string& path, const char* doing) {
  return path + ": " + doing + ": " + std::strerror(errno);
}

}  // namespace quorvane
