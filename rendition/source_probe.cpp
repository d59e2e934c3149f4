#include "source_probe.h"

#include <utility>

#include "ffmpeg_handles.h"

namespace quorvane {

std::optional<frame_size> probe_source_size(const std::string& input) {
  // The stream-info result is not examined: a stream whose size stays
  // unknown reports 0 by 0, which the ladder treats as landscape.
  const opened_input opened = open_input(input);
  if (!opened.context) {
    return std::nullopt;
  }
  const AVCodec* decoder = nullptr;
  const int index =
      av_find_best_stream(opened.context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (index < 0) {
    return std::nullopt;
  }
  const AVStream* stream = opened.context->streams[index];
  frame_size size{stream->codecpar->width, stream->codecpar->height};
  if (stream_rotation(stream) % 180 != 0) {
    std::swap(size.width, size.height);
  }
  return size;
}

}  // namespace quorvane
