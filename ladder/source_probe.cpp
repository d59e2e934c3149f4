#include "source_probe.h"

#include <utility>

#include "ffmpeg_handles.h"

namespace quorvane {

namespace {

// Demuxes the input to its end, which makes the HLS demuxer ask for every
// segment and key file of every playlist it lists. True when none was refused.
bool every_listed_file_allowed(AVFormatContext* input) {
  const packet_ptr packet(av_packet_alloc());
  if (!packet) {
    return false;
  }
  while (av_read_frame(input, packet.get()) >= 0) {
    av_packet_unref(packet.get());
  }
  return !input_refused(input);
}

}  // namespace

std::optional<frame_size> probe_source_size(const std::string& input, const file_veto& veto) {
  // The stream-info result is not examined; the size it found is.
  const opened_input opened = open_input(input, veto);
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
  // A size that stays unknown after reading the first pictures cannot be
  // held to the limit; it is also what a picture the decoders refused as too
  // large leaves behind.
  if (size.width <= 0 || size.height <= 0 || !picture_size_allowed(size.width, size.height)) {
    return std::nullopt;
  }
  if (is_playlist_path(input) && !every_listed_file_allowed(opened.context.get())) {
    return std::nullopt;
  }
  if (stream_rotation(stream) % 180 != 0) {
    std::swap(size.width, size.height);
  }
  return size;
}

}  // namespace quorvane
