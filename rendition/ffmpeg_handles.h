// Owning handles for the FFmpeg objects a worker makes, plus small helpers
// shared by the transcoder's steps.
#pragma once

#include <memory>
#include <optional>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "input_guard.h"

// FFmpeg 6.1 moved stream side data (the display matrix among it) into
// codecpar and 7.0 removed av_stream_get_side_data, which 5.1 still needs.
#define QUORVANE_HAS_CODECPAR_SIDE_DATA \
  (LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 29, 100))

// FFmpeg 6.1 moved "interlaced" into AVFrame.flags and deprecated the field.
#ifdef AV_FRAME_FLAG_INTERLACED
#define QUORVANE_HAS_FRAME_FLAG_INTERLACED 1
#else
#define QUORVANE_HAS_FRAME_FLAG_INTERLACED 0
#endif

// FFmpeg 7.1's buffer source takes the pictures' colour matrix and range and
// warns about every picture that differs from what it was given.
#define QUORVANE_HAS_BUFFERSRC_COLOR \
  (LIBAVFILTER_VERSION_INT >= AV_VERSION_INT(10, 5, 100))

namespace quorvane {

// Releases a demuxer (closing its input) or a muxer (closing its file unless
// the muxer opens its files itself). Writes no trailer.
void free_format_context(AVFormatContext* context);

struct format_context_deleter {
  void operator()(AVFormatContext* context) const noexcept { free_format_context(context); }
};
struct codec_context_deleter {
  void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct packet_deleter {
  void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct frame_deleter {
  void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct scaler_deleter {
  void operator()(SwsContext* scaler) const noexcept { sws_freeContext(scaler); }
};
struct filter_graph_deleter {
  void operator()(AVFilterGraph* graph) const noexcept { avfilter_graph_free(&graph); }
};
struct filter_inout_deleter {
  void operator()(AVFilterInOut* list) const noexcept { avfilter_inout_free(&list); }
};
struct audio_fifo_deleter {
  void operator()(AVAudioFifo* fifo) const noexcept { av_audio_fifo_free(fifo); }
};

using format_context_ptr = std::unique_ptr<AVFormatContext, format_context_deleter>;
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_deleter>;
using packet_ptr = std::unique_ptr<AVPacket, packet_deleter>;
using frame_ptr = std::unique_ptr<AVFrame, frame_deleter>;
using scaler_ptr = std::unique_ptr<SwsContext, scaler_deleter>;
using filter_graph_ptr = std::unique_ptr<AVFilterGraph, filter_graph_deleter>;
using filter_inout_ptr = std::unique_ptr<AVFilterInOut, filter_inout_deleter>;
using audio_fifo_ptr = std::unique_ptr<AVAudioFifo, audio_fifo_deleter>;

// Receives every frame `decoder` has ready into `frame`, hands each to `use`
// and unreferences it. False as soon as `use` fails; true when the decoder
// needs more input, is drained, or reports an error (the frames so far stand).
template <typename Use>
bool receive_decoded_frames(AVCodecContext* decoder, AVFrame* frame, Use&& use) {
  while (avcodec_receive_frame(decoder, frame) >= 0) {
    const bool used = use(frame);
    av_frame_unref(frame);
    if (!used) {
      return false;
    }
  }
  return true;
}

// Pulls every frame `sink` has ready into `frame`, hands each to `use` and
// unreferences it. False on a sink error or as soon as `use` fails; true when
// the sink wants more input or has ended.
template <typename Use>
bool pull_filtered_frames(AVFilterContext* sink, AVFrame* frame, Use&& use) {
  for (;;) {
    const int pulled = av_buffersink_get_frame(sink, frame);
    if (pulled == AVERROR(EAGAIN) || pulled == AVERROR_EOF) {
      return true;
    }
    if (pulled < 0) {
      return false;
    }
    const bool used = use(frame);
    av_frame_unref(frame);
    if (!used) {
      return false;
    }
  }
}

// Opens `path` as a demuxer under the input rules (input_guard.h) and reads
// its stream information. `context` is empty when the file cannot be opened
// or a rule refused a file it asked for, and `failure` says why; the driver
// ignores a failed stream-info read, a worker gives up on it.
struct opened_input {
  format_context_ptr context;
  int stream_info_result = 0;
  std::optional<step_failure> failure;
};
opened_input open_input(const std::string& path, const file_veto& veto = {});

// The display rotation of a video stream, clockwise, in degrees: 0, 90, 180
// or 270. Phones store portrait video as landscape pictures plus this matrix.
int stream_rotation(const AVStream* stream);

}  // namespace quorvane
