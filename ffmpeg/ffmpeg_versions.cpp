#include "ffmpeg/ffmpeg_versions.h"

namespace quorvane {

const int32_t* stream_display_matrix(const AVStream* stream) {
  // FFmpeg 6.1 moved stream side data into codecpar; 7.0 removed
  // av_stream_get_side_data, which 5.1 still needs.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100)
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

bool frame_is_interlaced(const AVFrame* picture) {
  // FFmpeg 6.1 moved the flag into AVFrame.flags and deprecated the field.
#ifdef AV_FRAME_FLAG_INTERLACED
  return (picture->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
  return picture->interlaced_frame != 0;
#endif
}

void set_buffersrc_colour(AVBufferSrcParameters* parameters, AVColorSpace matrix,
                          AVColorRange range) {
  // FFmpeg 7.1's buffer source warns about every picture whose colour
  // differs from what it was told.
#if LIBAVFILTER_VERSION_INT >= AV_VERSION_INT(10, 5, 100)
  parameters->color_space = matrix;
  parameters->color_range = range;
#else
  (void)parameters;
  (void)matrix;
  (void)range;
#endif
}

}  // namespace quorvane
