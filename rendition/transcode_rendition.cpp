#include "transcode_rendition.h"

#include <algorithm>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "audio_path.h"
#include "playlist_check.h"
#include "rendition_resources.h"
#include "video_path.h"

namespace quorvane {

namespace {

constexpr AVRational video_time_base{1, 30};
constexpr AVRational video_frame_rate{30, 1};
constexpr int keyframe_interval = 60;
constexpr int audio_sample_rate = 44100;
constexpr int64_t audio_bit_rate = 128000;

codec_context_ptr open_decoder(const AVCodec* decoder, const AVStream* stream) {
  codec_context_ptr context(alloc_decoder_context(decoder));
  if (!context || avcodec_parameters_to_context(context.get(), stream->codecpar) < 0 ||
      avcodec_open2(context.get(), decoder, nullptr) < 0) {
    return nullptr;
  }
  return context;
}

codec_context_ptr open_video_encoder(const AVCodec* encoder, int32_t width, int32_t height,
                                     int32_t bitrate) {
  codec_context_ptr context(avcodec_alloc_context3(encoder));
  if (!context) {
    return nullptr;
  }
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  context->time_base = video_time_base;
  context->framerate = video_frame_rate;
  context->thread_count = 0;
  context->bit_rate = bitrate;
  // Results ignored: an H.264 encoder without these options still opens.
  av_opt_set(context->priv_data, "preset", "fast", 0);
  context->gop_size = keyframe_interval;
  context->keyint_min = keyframe_interval;
  av_opt_set(context->priv_data, "sc_threshold", "0", 0);  // no keyframes at scene cuts
  if (avcodec_open2(context.get(), encoder, nullptr) < 0) {
    return nullptr;
  }
  return context;
}

codec_context_ptr open_audio_encoder(const AVCodec* encoder) {
  codec_context_ptr context(avcodec_alloc_context3(encoder));
  if (!context) {
    return nullptr;
  }
  // Two channels in their default order: front left, front right. The
  // channel-layout structure serves both FFmpeg 5.1 and 7.x.
  av_channel_layout_default(&context->ch_layout, 2);
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  context->sample_rate = audio_sample_rate;
  context->sample_fmt = AV_SAMPLE_FMT_FLTP;
  context->time_base = AVRational{1, audio_sample_rate};
  context->bit_rate = audio_bit_rate;
  if (avcodec_open2(context.get(), encoder, nullptr) < 0) {
    return nullptr;
  }
  return context;
}

AVStream* add_output_stream(AVFormatContext* muxer, const AVCodecContext* encoder) {
  AVStream* stream = avformat_new_stream(muxer, encoder->codec);
  if (stream == nullptr || avcodec_parameters_from_context(stream->codecpar, encoder) < 0) {
    return nullptr;
  }
  stream->time_base = encoder->time_base;
  return stream;
}

// "720p.m3u8" -> "720p": everything before the path's last '.'.
std::string segment_base_name(const std::string& playlist) {
  const size_t dot = playlist.rfind('.');
  return dot == std::string::npos ? playlist : playlist.substr(0, dot);
}

// Start of a stream in microseconds, or AV_NOPTS_VALUE when unknown.
int64_t stream_start(const AVStream* stream) {
  return stream->start_time == AV_NOPTS_VALUE
             ? AV_NOPTS_VALUE
             : av_rescale_q(stream->start_time, stream->time_base, AV_TIME_BASE_Q);
}

// Both streams count from the earlier of their two starts, so that audio and
// video keep the source's relative timing whatever its origin.
stream_timing make_stream_timing(AVFormatContext* input, AVStream* video, const AVStream* audio) {
  const int64_t video_start = stream_start(video);
  const int64_t audio_start = stream_start(audio);
  int64_t origin = 0;
  if (video_start != AV_NOPTS_VALUE && audio_start != AV_NOPTS_VALUE) {
    origin = std::min(video_start, audio_start);
  } else if (video_start != AV_NOPTS_VALUE) {
    origin = video_start;
  } else if (audio_start != AV_NOPTS_VALUE) {
    origin = audio_start;
  }
  stream_timing timing;
  const AVRational source_rate = av_guess_frame_rate(input, video, nullptr);
  if (source_rate.num > 0 && source_rate.den > 0 &&
      av_cmp_q(av_inv_q(source_rate), timing.picture_duration) > 0) {
    timing.picture_duration = av_inv_q(source_rate);
  }
  timing.video_time_base = video->time_base;
  timing.video_origin = av_rescale_q(origin, AV_TIME_BASE_Q, video->time_base);
  if (audio_start != AV_NOPTS_VALUE) {
    timing.next_audio_pts =
        av_rescale_q(audio_start - origin, AV_TIME_BASE_Q, AVRational{1, audio_sample_rate});
  }
  return timing;
}

// Steps 1 to 8: input, decoders and encoders.
bool open_codecs(rendition_resources& worker, const std::string& input, int32_t width,
                 int32_t height, int32_t bitrate) {
  // 1-2. Open the input and read its stream information.
  opened_input opened = open_input(input);
  worker.input = std::move(opened.context);
  if (!worker.input || opened.stream_info_result < 0) {
    return false;
  }
  // 3. Choose the streams; a rendition needs both.
  const AVCodec* video_codec = nullptr;
  const AVCodec* audio_codec = nullptr;
  worker.video_stream_index =
      av_find_best_stream(worker.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &video_codec, 0);
  worker.audio_stream_index =
      av_find_best_stream(worker.input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &audio_codec, 0);
  if (worker.video_stream_index < 0 || worker.audio_stream_index < 0) {
    return false;
  }
  // 4-5. Decoders.
  worker.video_decoder =
      open_decoder(video_codec, worker.input->streams[worker.video_stream_index]);
  if (!worker.video_decoder) {
    return false;
  }
  worker.audio_decoder =
      open_decoder(audio_codec, worker.input->streams[worker.audio_stream_index]);
  if (!worker.audio_decoder) {
    return false;
  }
  // 6-8. Encoders.
  const AVCodec* h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (h264 == nullptr || aac == nullptr) {
    return false;
  }
  worker.video_encoder = open_video_encoder(h264, width, height, bitrate);
  if (!worker.video_encoder) {
    return false;
  }
  worker.audio_encoder = open_audio_encoder(aac);
  return worker.audio_encoder != nullptr;
}

// Steps 9 to 14: the HLS muxer, its streams and options, and its header.
bool open_muxer(rendition_resources& worker, const std::string& playlist, const std::string& key) {
  // 9. Output context.
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "hls", playlist.c_str()) < 0) {
    return false;
  }
  worker.output.reset(raw);
  watch_file_closes(raw, worker.close_watch);
  // 10. Video stream (index 0), then audio stream (index 1).
  worker.output_video_stream = add_output_stream(raw, worker.video_encoder.get());
  if (worker.output_video_stream == nullptr) {
    return false;
  }
  worker.output_audio_stream = add_output_stream(raw, worker.audio_encoder.get());
  if (worker.output_audio_stream == nullptr) {
    return false;
  }
  // 11. Segment names: 720p.m3u8 writes 720p_000.ts, 720p_001.ts, ...
  worker.base_name = segment_base_name(playlist);
  worker.segment_pattern = worker.base_name + "_%03d.ts";
  // 12. Muxer options; the muxer judges their values.
  av_opt_set(raw->priv_data, "hls_time", "6", 0);
  av_opt_set(raw->priv_data, "hls_segment_filename", worker.segment_pattern.c_str(), 0);
  av_opt_set(raw->priv_data, "hls_list_size", "0", 0);
  av_opt_set(raw->priv_data, "hls_key_info_file", key.c_str(), 0);
  // 13. Open the playlist file, unless the muxer opens its files itself.
  if (!(raw->oformat->flags & AVFMT_NOFILE) &&
      avio_open(&raw->pb, playlist.c_str(), AVIO_FLAG_WRITE) < 0) {
    return false;
  }
  // 14. Header. From here on a failure leaves the files unfinished.
  return avformat_write_header(raw, nullptr) >= 0;
}

// Steps 15 to 18: scaler, turning chain, audio chain, packets and frames.
bool prepare_paths(rendition_resources& worker) {
  const AVStream* video_stream = worker.input->streams[worker.video_stream_index];
  const AVCodecContext* decoder = worker.video_decoder.get();
  // 15. Turning chain first: it decides the size the scaler produces.
  if (!setup_picture_turn(worker, stream_rotation(video_stream))) {
    return false;
  }
  // The scaler for the size the decoder reports; each picture remakes it if
  // its own size or format differs. A decoder that reports neither yet leaves
  // it to the first picture.
  if (decoder->width > 0 && decoder->height > 0 && decoder->pix_fmt != AV_PIX_FMT_NONE) {
    worker.scaler.reset(sws_getContext(decoder->width, decoder->height, decoder->pix_fmt,
                                       scaled_width(worker), scaled_height(worker),
                                       worker.video_encoder->pix_fmt, SWS_BICUBIC, nullptr,
                                       nullptr, nullptr));
    if (!worker.scaler) {
      return false;
    }
  }
  // 16. Audio chain and FIFO.
  if (!setup_audio_chain(worker)) {
    return false;
  }
  // 17-18. Packets and frames reused for the whole input.
  worker.input_packet.reset(av_packet_alloc());
  worker.output_packet.reset(av_packet_alloc());
  worker.decoded_frame.reset(av_frame_alloc());
  worker.scaled_frame.reset(av_frame_alloc());
  if (!worker.input_packet || !worker.output_packet || !worker.decoded_frame ||
      !worker.scaled_frame) {
    return false;
  }
  AVFrame* scaled = worker.scaled_frame.get();
  scaled->format = worker.video_encoder->pix_fmt;
  scaled->width = scaled_width(worker);
  scaled->height = scaled_height(worker);
  return av_frame_get_buffer(scaled, 32) >= 0;
}

// Reads the input to its end, routing each packet to its path. False when a
// path failed and the rendition must end without its trailer.
bool read_input(rendition_resources& worker, stream_timing& timing) {
  AVPacket* packet = worker.input_packet.get();
  while (av_read_frame(worker.input.get(), packet) >= 0) {
    bool keep_going = true;
    if (packet->stream_index == worker.video_stream_index) {
      keep_going = decode_video_packet(worker, timing);
    } else if (packet->stream_index == worker.audio_stream_index) {
      keep_going = decode_audio_packet(worker, timing);
    }
    av_packet_unref(packet);
    if (!keep_going) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool transcode_rendition(std::string input, std::string playlist, int32_t width, int32_t height,
                         int32_t bitrate, std::string key) {
  rendition_resources worker;
  if (!open_codecs(worker, input, width, height, bitrate) ||
      !open_muxer(worker, playlist, key) || !prepare_paths(worker)) {
    return false;
  }
  stream_timing timing = make_stream_timing(worker.input.get(),
                                            worker.input->streams[worker.video_stream_index],
                                            worker.input->streams[worker.audio_stream_index]);
  if (!read_input(worker, timing)) {
    return false;
  }
  // End of input (or a read error, treated alike): flush video, then audio,
  // drain the audio encoder and finish the playlist.
  flush_video(worker, timing);
  if (!flush_audio(worker, timing)) {
    return false;
  }
  encode_and_write(worker.audio_encoder.get(), worker.output.get(), worker.output_audio_stream,
                   nullptr, worker.output_packet.get());
  const bool trailer_written = av_write_trailer(worker.output.get()) >= 0;
  // A source whose pictures all failed to decode leaves a playlist of audio
  // and a video stream without a picture: players cannot use it.
  const bool has_pictures = timing.last_video_pts != AV_NOPTS_VALUE;
  return trailer_written && has_pictures && !worker.close_watch.failed &&
         media_playlist_complete(playlist);
}

}  // namespace quorvane
