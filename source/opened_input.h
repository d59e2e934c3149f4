// An input opened for reading under the input rules, stream information read.
#pragma once

#include <optional>
#include <string>

#include "ffmpeg/ffmpeg_handles.h"
#include "ffmpeg/step_failure.h"
#include "source/input_guard.h"

namespace quorvane {

// A demuxer opened under the input rules closes with them.
using input_context_ptr = ffmpeg_ptr<AVFormatContext, close_guarded_input>;

// Opens `path` as a demuxer under the input rules (input_guard.h) and reads
// its stream information. `context` is empty when the file cannot be opened
// or a rule refused a file it asked for, and `failure` says why; a failed
// stream-info read (reading_streams_step) refuses the whole call.
inline constexpr const char* reading_streams_step = "reading the input's streams";

struct opened_input {
  input_context_ptr context;
  int stream_info_result = 0;
  std::optional<step_failure> failure;
};
opened_input open_input(const std::string& path, const file_veto& veto = {});

}  // namespace quorvane
