#include "ffmpeg/ffmpeg_handles.h"

#include <cmath>

extern "C" {
#include <libavutil/display.h>
}

#include "ffmpeg/ffmpeg_versions.h"

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
