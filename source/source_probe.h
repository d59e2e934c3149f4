// What the driver learns of a source before it plans the ladder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ffmpeg/step_failure.h"
#include "source/input_guard.h"

namespace quorvane {

// A picture's size as displayed.
struct display_size {
  int32_t width = 0;
  int32_t height = 0;
};

// The source's displayed size and the duration its container claims, or why
// the ladder cannot be made from it.
struct probed_source {
  display_size size{};
  double seconds = -1;                  // -1 when the container states none (or only guesses)
  std::optional<step_failure> failure;  // when set, the rest means nothing
};

// Width and height of the input's best decodable video stream, as displayed
// (a stream turned by a quarter turn reports its sides swapped), and the
// input's duration. Fails when the input cannot be opened, when its stream
// information cannot be read (every rendition would fail alike on it) or it
// has no video stream, when its picture size
// is unknown or exceeds the picture-size limit, or when the input rules or
// `veto` refuse a file it asks for; a playlist is read to its end here, so
// that every file it lists has been judged before any worker starts.
probed_source probe_source_size(const std::string& input, const file_veto& veto = {});

}  // namespace quorvane
