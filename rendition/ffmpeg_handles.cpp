#include "ffmpeg_handles.h"

#include <cmath>
#include <utility>

extern "C" {
#include <libavutil/display.h>
}

#include "ffmpeg_versions.h"

namespace quorvane {

void free_muxer(AVFormatContext* muxer) {
  if (muxer == nullptr) {
    return;
  }
  if (!(muxer->oformat->flags & AVFMT_NOFILE) && muxer->pb != nullptr) {
    avio_closep(&muxer->pb);
  }
  avformat_free_context(muxer);
}

opened_input open_input(const std::string& path, const file_veto& veto) {
  opened_input result;
  guarded_open opened = open_guarded_input(path, veto);
  result.context.reset(opened.context);
  result.failure = std::move(opened.failure);
  if (!result.context) {
    return result;
  }
  result.stream_info_result = read_stream_info(result.context.get());
  result.failure = input_refused(result.context.get());
  if (result.failure) {
    result.context.reset();
  }
  return result;
}

int stream_rotation(const AVStream* stream) {
  const int32_t* matrix = stream_display_matrix(stream);
  if (matrix == nullptr) {
    return 0;
  }
  // av_display_rotation_get gives the counter-clockwise angle; NaN for a
  // degenerate matrix, which we treat as unrotated.
  const double counter_clockwise = av_display_rotation_get(matrix);
  if (std::isnan(counter_clockwise)) {
    return 0;
  }
  long clockwise = -std::lround(counter_clockwise);
  clockwise = ((clockwise % 360) + 360) % 360;
  // Snap to the nearest quarter turn: only those can be turned losslessly.
  const int quarter_turns = static_cast<int>(((clockwise + 45) / 90) % 4);
  return quarter_turns * 90;
}

}  // namespace quorvane
