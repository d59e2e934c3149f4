#include "ffmpeg_handles.h"

#include <cmath>
#include <utility>

extern "C" {
#include <libavutil/display.h>
}

namespace quorvane {

void free_format_context(AVFormatContext* context) {
  if (context == nullptr) {
    return;
  }
  if (context->iformat != nullptr) {
    close_guarded_input(context);
    return;
  }
  if (context->oformat != nullptr && !(context->oformat->flags & AVFMT_NOFILE) &&
      context->pb != nullptr) {
    avio_closep(&context->pb);
  }
  avformat_free_context(context);
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

static const int32_t* display_matrix_of(const AVStream* stream) {
#if QUORVANE_HAS_CODECPAR_SIDE_DATA
  const AVPacketSideData* side_data =
      av_packet_side_data_get(stream->codecpar->coded_side_data,
                              stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  if (side_data == nullptr || side_data->size < 9 * sizeof(int32_t)) {
    return nullptr;
  }
  return reinterpret_cast<const int32_t*>(side_data->data);
#else
  size_t size = 0;
  const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (data == nullptr || size < 9 * sizeof(int32_t)) {
    return nullptr;
  }
  return reinterpret_cast<const int32_t*>(data);
#endif
}

int stream_rotation(const AVStream* stream) {
  const int32_t* matrix = display_matrix_of(stream);
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
