#include "source/source_probe.h"

#include <utility>

#include "ffmpeg/ffmpeg_handles.h"
#include "source/opened_input.h"

namespace quorvane {

namespace {

constexpr const char* probing_step = "probing the input";

probed_source probe_failure(std::string reason) {
  return probed_source{{}, -1, step_failure{probing_step, std::move(reason)}};
}

// Demuxes the input to its end, which makes the HLS demuxer ask for every
// segment and key file of every playlist it lists. Why one was refused;
// empty when none was.
std::optional<step_failure> refusal_of_listed_files(AVFormatContext* input) {
  const packet_ptr packet(av_packet_alloc());
  if (!packet) {
    return ffmpeg_failure(probing_step, AVERROR(ENOMEM));
  }
  while (av_read_frame(input, packet.get()) >= 0) {
    const packet_unref_guard read(packet.get());
  }
  return input_refused(input);
}

std::string video_stream_problem(int search_result) {
  if (search_result == AVERROR_STREAM_NOT_FOUND) {
    return "the input has no video stream";
  }
  if (search_result == AVERROR_DECODER_NOT_FOUND) {
    return "no decoder for the input's video stream";
  }
  return "finding the video stream: " + ffmpeg_error_text(search_result);
}

}  // namespace

probed_source probe_source_size(const std::string& input, const file_veto& veto) {
  opened_input opened = open_input(input, veto);
  if (!opened.context) {
    return probed_source{{}, -1, std::move(opened.failure)};
  }
  if (opened.stream_info_result < 0) {
    return probed_source{{}, -1, ffmpeg_failure(reading_streams_step, opened.stream_info_result)};
  }
  const AVCodec* decoder = nullptr;
  const int index =
      av_find_best_stream(opened.context.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
  if (index < 0) {
    return probe_failure(video_stream_problem(index));
  }
  const AVStream* stream = opened.context->streams[index];
  display_size size{stream->codecpar->width, stream->codecpar->height};
  // A size that stays unknown after reading the first pictures cannot be
  // held to the limit; it is also what a picture the decoders refused as too
  // large leaves behind.
  if (size.width <= 0 || size.height <= 0) {
    return probe_failure(
        "the video stream's picture size is unknown (no picture decoded within the size limit)");
  }
  if (!picture_size_allowed(size.width, size.height)) {
    return probe_failure("picture size " + std::to_string(size.width) + "x" +
                         std::to_string(size.height) + " is over the limit of " +
                         std::to_string(max_picture_side) + " per side and " +
                         std::to_string(max_picture_area) + " pixels");
  }
  if (is_playlist_path(input)) {
    if (std::optional<step_failure> refused = refusal_of_listed_files(opened.context.get())) {
      return probed_source{{}, -1, std::move(refused)};
    }
  }
  if (stream_rotation(stream) % 180 != 0) {
    std::swap(size.width, size.height);
  }
  // Only a duration the container states: one the demuxer worked out from the
  // first and last timestamps it read, or from the file's size and bitrate
  // (MPEG-TS has no index), is a guess, and recordings joined with cat put
  // hours between those timestamps.
  const AVFormatContext* context = opened.context.get();
  const int64_t duration = context->duration;
  const bool stated = context->duration_estimation_method == AVFMT_DURATION_FROM_STREAM;
  const double seconds = stated && duration > 0 && duration != AV_NOPTS_VALUE
                             ? static_cast<double>(duration) / AV_TIME_BASE
                             : -1;
  return probed_source{size, seconds, std::nullopt};
}

}  // namespace quorvane
