// Owning handles for the FFmpeg objects a worker makes, plus small helpers
// shared by the transcoder's steps.
#pragma once

#include <memory>
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

// Opens `path` as a demuxer under the input rules (input_guard.h) and reads
// its stream information. `context` is empty when the file cannot be opened
// or a rule refused a file it asked for; the driver ignores a failed
// stream-info read, a worker gives up on it.
struct opened_input {
  format_context_ptr context;
  int stream_info_result = 0;
};
opened_input open_input(const std::string& path, const file_veto& veto = {});

// The display rotation of a video stream, clockwise, in degrees: 0, 90, 180
// or 270. Phones store portrait video as landscape pictures plus this matrix.
int stream_rotation(const AVStream* stream);

}  // namespace quorvane
