// Owning handles for the FFmpeg objects a worker makes, plus small helpers
// shared by the transcoder's steps.
#pragma once

#include <cstdio>
#include <memory>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/aes.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
}

namespace quorvane {

// Releases an FFmpeg object with its own free function, whichever way that
// function takes it: by pointer (av_audio_fifo_free) or by the pointer's
// address (av_frame_free).
template <auto release>
struct ffmpeg_deleter {
  template <typename T>
  void operator()(T* object) const noexcept {
    if constexpr (std::is_invocable_v<decltype(release), T*>) {
      release(object);
    } else {
      release(&object);
    }
  }
};

template <typename T, auto release>
using ffmpeg_ptr = std::unique_ptr<T, ffmpeg_deleter<release>>;

// A muxer: closes its file unless the muxer opens its files itself, then
// frees it. Writes no trailer.
void free_muxer(AVFormatContext* muxer);

using output_context_ptr = ffmpeg_ptr<AVFormatContext, free_muxer>;
using codec_context_ptr = ffmpeg_ptr<AVCodecContext, avcodec_free_context>;
using packet_ptr = ffmpeg_ptr<AVPacket, av_packet_free>;
using frame_ptr = ffmpeg_ptr<AVFrame, av_frame_free>;
using filter_graph_ptr = ffmpeg_ptr<AVFilterGraph, avfilter_graph_free>;
using filter_inout_ptr = ffmpeg_ptr<AVFilterInOut, avfilter_inout_free>;
using audio_fifo_ptr = ffmpeg_ptr<AVAudioFifo, av_audio_fifo_free>;
using dictionary_ptr = ffmpeg_ptr<AVDictionary, av_dict_free>;
using buffersrc_parameters_ptr = ffmpeg_ptr<AVBufferSrcParameters, av_free>;
using aes_ptr = ffmpeg_ptr<AVAES, av_free>;

// A C file, closed when its owner goes (errors on closing are then lost:
// a file written to is closed by hand, and its close checked).
struct file_closer {
  void operator()(FILE* file) const noexcept { std::fclose(file); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Unreferences a read loop's packet when the loop's turn ends, whichever way
// it ends.
class packet_unref_guard {
 public:
  explicit packet_unref_guard(AVPacket* packet) : packet_(packet) {}
  ~packet_unref_guard() { av_packet_unref(packet_); }
  packet_unref_guard(const packet_unref_guard&) = delete;
  packet_unref_guard& operator=(const packet_unref_guard&) = delete;

 private:
  AVPacket* packet_;
};

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

// What pull_filtered_frames gives back when `use` failed (`use` says why).
inline constexpr int frame_not_used = 1;

// Pulls every frame `sink` has ready into `frame`, hands each to `use` and
// unreferences it. 0 when the sink wants more input or has ended; the sink's
// error code when it failed (a filter that fails on a frame reports here);
// frame_not_used as soon as `use` fails.
template <typename Use>
int pull_filtered_frames(AVFilterContext* sink, AVFrame* frame, Use&& use) {
  for (;;) {
    const int pulled = av_buffersink_get_frame(sink, frame);
    if (pulled == AVERROR(EAGAIN) || pulled == AVERROR_EOF) {
      return 0;
    }
    if (pulled < 0) {
      return pulled;
    }
    const bool used = use(frame);
    av_frame_unref(frame);
    if (!used) {
      return frame_not_used;
    }
  }
}

// The display rotation of a video stream, clockwise, in degrees: 0, 90, 180
// or 270. Phones store portrait video as landscape pictures plus this matrix.
int stream_rotation(const AVStream* stream);

}  // namespace quorvane
