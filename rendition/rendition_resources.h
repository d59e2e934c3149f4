// Everything one rendition worker makes, held in making order so that the
// members are released in reverse order of making on every way out.
#pragma once

#include <cstdint>
#include <string>

#include "ffmpeg_handles.h"

namespace quorvane {

// A filter chain between one buffer source and one buffer sink.
struct filter_chain {
  filter_graph_ptr graph;
  AVFilterContext* source = nullptr;  // owned by the graph
  AVFilterContext* sink = nullptr;    // owned by the graph
};

// Turns pictures upright for a source stored with a display rotation.
struct picture_turn {
  int clockwise_degrees = 0;  // 0 when no turn is needed
  filter_chain chain;
  frame_ptr turned;
};

// Notes whether any file the muxer wrote failed when it was closed. The HLS
// muxer finishes its playlist even when a segment could not be written (a
// full disk), so its own results do not tell.
struct file_close_watch {
  int (*close_file)(AVFormatContext* muxer, AVIOContext* file) = nullptr;
  bool failed = false;
};

// Makes `muxer` close its files through `watch`.
void watch_file_closes(AVFormatContext* muxer, file_close_watch& watch);

struct rendition_resources {
  format_context_ptr input;
  int video_stream_index = -1;
  int audio_stream_index = -1;
  codec_context_ptr video_decoder;
  codec_context_ptr audio_decoder;
  codec_context_ptr video_encoder;
  codec_context_ptr audio_encoder;
  file_close_watch close_watch;  // outlives `output`, whose release may close files
  format_context_ptr output;
  AVStream* output_video_stream = nullptr;  // owned by `output`
  AVStream* output_audio_stream = nullptr;  // owned by `output`
  std::string base_name;
  std::string segment_pattern;
  picture_turn turn;
  scaler_ptr scaler;  // remade whenever the pictures' size or format changes
  filter_chain audio_chain;
  audio_fifo_ptr audio_fifo;
  packet_ptr input_packet;
  packet_ptr output_packet;
  frame_ptr decoded_frame;
  frame_ptr scaled_frame;
};

// Where the two streams' timestamps start from. Both streams are placed
// relative to the earlier of their two starts, so their relation survives.
struct stream_timing {
  int64_t video_origin = 0;  // in the input video stream's time base
  AVRational video_time_base{1, 1};
  int64_t last_video_pts = AV_NOPTS_VALUE;  // last picture encoded, encoder time base
  int64_t next_audio_pts = 0;               // running sample count at 44100 Hz
  // How long each encoded picture lasts: the source's picture interval, or
  // 1/30 s when the source is faster and pictures are left out.
  AVRational picture_duration{1, 30};
};

// Builds `chain` as source "in" -> `description` -> sink "out". The caller
// has already made the graph and both endpoint filters.
bool link_filter_chain(filter_chain& chain, const char* description);

// Makes the graph and the two endpoint filters of a chain.
bool create_filter_endpoints(filter_chain& chain, const char* source_filter,
                             const std::string& source_arguments, const char* sink_filter);

// Hands `frame` (or the end-of-stream null) to `encoder` and writes every
// packet it gives out to `stream` of `muxer`. Packets the encoder leaves
// without a duration get `packet_duration` (in seconds) when it is set.
// True when the encoder wants more input or is drained; false on any other
// failure.
bool encode_and_write(AVCodecContext* encoder, AVFormatContext* muxer, AVStream* stream,
                      const AVFrame* frame, AVPacket* packet,
                      AVRational packet_duration = AVRational{0, 1});

}  // namespace quorvane
