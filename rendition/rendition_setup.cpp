#include "rendition/rendition_setup.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "hls/output_format.h"
#include "rendition/output_writing.h"
#include "rendition/sound_maker.h"

namespace quorvane {

namespace {

// The video rate cap, in percent of the rung's target: the peak rate, and
// the decoder buffer that bounds how long a burst may run above it.
constexpr int64_t max_rate_percent = 110;
constexpr int64_t buffer_percent = 100;

// Opens `decoder` for `stream`; empty, with the reason, when it cannot.
step_result open_decoder(codec_context_ptr& context, const AVCodec* decoder,
                         const AVStream* stream, const char* step) {
  context.reset(alloc_decoder_context(decoder));
  if (!context) {
    return ffmpeg_failure(step, AVERROR(ENOMEM));
  }
  int result = avcodec_parameters_to_context(context.get(), stream->codecpar);
  // The decoder moves a frame's timestamp past the samples it leaves out
  // (an MP3's or AAC's encoder delay) only when it knows the packets' unit.
  context->pkt_timebase = stream->time_base;
  if (result >= 0) {
    result = avcodec_open2(context.get(), decoder, nullptr);
  }
  if (result < 0) {
    return ffmpeg_failure(step, result);
  }
  return std::nullopt;
}

step_result open_video_encoder(codec_context_ptr& context, const AVCodec* encoder,
                               int32_t width, int32_t height, int32_t bitrate) {
  constexpr const char* step = "opening the H.264 encoder";
  context.reset(avcodec_alloc_context3(encoder));
  if (!context) {
    return ffmpeg_failure(step, AVERROR(ENOMEM));
  }
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  context->time_base = grid_time_base;
  context->framerate = grid_frame_rate;
  context->thread_count = 0;  // as many as the codec library finds worth it
  context->bit_rate = bitrate;
  if (bitrate > 0) {
    // A cap on the rate, so that no segment runs far above the rung's
    // target while the average stays at it: players pick rungs by it.
    context->rc_max_rate = static_cast<int64_t>(bitrate) * max_rate_percent / 100;
    context->rc_buffer_size = static_cast<int>(
        std::min<int64_t>(static_cast<int64_t>(bitrate) * buffer_percent / 100, INT_MAX));
  }
  // BT.709 in limited range with square pixels, said in the stream's VUI.
  context->color_primaries = output_primaries;
  context->color_trc = output_transfer;
  context->colorspace = output_matrix;
  context->color_range = output_range;
  context->sample_aspect_ratio = AVRational{1, 1};
  // Results ignored: an H.264 encoder without these options still opens.
  av_opt_set(context->priv_data, "preset", "fast", 0);
  context->gop_size = keyframe_interval_slots;
  context->keyint_min = keyframe_interval_slots;
  av_opt_set(context->priv_data, "sc_threshold", "0", 0);  // no keyframes at scene cuts
  // The pictures that open each 2 s of the timeline are flagged as keyframes;
  // each must be one a segment can start on.
  av_opt_set(context->priv_data, "forced-idr", "1", 0);
  const int opened = avcodec_open2(context.get(), encoder, nullptr);
  if (opened < 0) {
    return ffmpeg_failure(step, opened);
  }
  return std::nullopt;
}

step_result open_audio_encoder(codec_context_ptr& context, const AVCodec* encoder) {
  constexpr const char* step = "opening the AAC encoder";
  context.reset(avcodec_alloc_context3(encoder));
  if (!context) {
    return ffmpeg_failure(step, AVERROR(ENOMEM));
  }
  // Two channels in their default order: front left, front right. The
  // channel-layout structure serves both FFmpeg 5.1 and 7.x.
  av_channel_layout_default(&context->ch_layout, 2);
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  context->sample_rate = output_sample_rate;
  context->sample_fmt = AV_SAMPLE_FMT_FLTP;
  context->time_base = AVRational{1, output_sample_rate};
  context->bit_rate = output_audio_bit_rate;
  const int opened = avcodec_open2(context.get(), encoder, nullptr);
  if (opened < 0) {
    return ffmpeg_failure(step, opened);
  }
  return std::nullopt;
}

step_result add_output_stream(AVStream*& stream, AVFormatContext* muxer,
                              const AVCodecContext* encoder) {
  constexpr const char* step = "adding an output stream";
  stream = avformat_new_stream(muxer, encoder->codec);
  if (stream == nullptr) {
    return ffmpeg_failure(step, AVERROR(ENOMEM));
  }
  const int copied = avcodec_parameters_from_context(stream->codecpar, encoder);
  if (copied < 0) {
    return ffmpeg_failure(step, copied);
  }
  stream->time_base = encoder->time_base;
  return std::nullopt;
}

constexpr int64_t max_interleave_microseconds = 30 * int64_t{AV_TIME_BASE};

// How far the encoders' first timestamps run ahead of the timeline's zero,
// in microseconds: the H.264 reorder delay (the first pictures are one slot
// apart) or the AAC priming, whichever is longer.
int64_t output_delay_microseconds(const AVCodecContext* video, const AVCodecContext* audio) {
  const int64_t reorder = av_rescale_q(video->has_b_frames, grid_time_base, AV_TIME_BASE_Q);
  const int64_t priming =
      av_rescale_q(audio->initial_padding, AVRational{1, audio->sample_rate}, AV_TIME_BASE_Q);
  return std::max(reorder, priming);
}

// "720p.m3u8" -> "720p": everything before the path's last '.'.
std::string segment_base_name(const std::string& playlist) {
  const size_t dot = playlist.rfind('.');
  return dot == std::string::npos ? playlist : playlist.substr(0, dot);
}

// VP9 keeps transparency beside the picture, where only libvpx's decoder
// reads it; FFmpeg's own decoder would show what lies under it.
const AVCodec* video_decoder_for(const AVStream* stream, const AVCodec* chosen) {
  const AVDictionaryEntry* alpha = av_dict_get(stream->metadata, "alpha_mode", nullptr, 0);
  if (stream->codecpar->codec_id == AV_CODEC_ID_VP9 && alpha != nullptr &&
      std::string(alpha->value) == "1") {
    const AVCodec* libvpx = avcodec_find_decoder_by_name("libvpx-vp9");
    if (libvpx != nullptr) {
      return libvpx;
    }
  }
  return chosen;
}

// The source's picture interval when it is longer than the grid's 1/30 s.
AVRational source_picture_duration(AVFormatContext* input, AVStream* video) {
  const AVRational source_rate = av_guess_frame_rate(input, video, nullptr);
  if (source_rate.num > 0 && source_rate.den > 0 &&
      av_cmp_q(av_inv_q(source_rate), grid_time_base) > 0) {
    return av_inv_q(source_rate);
  }
  return grid_time_base;
}

}  // namespace

step_result open_source(source_input& source, video_path& video, sound_path& sound,
                        const std::string& input, const pass_plan& plan) {
  opened_input opened = open_input(input);
  source.context = std::move(opened.context);
  if (!source.context) {
    return opened.failure ? *opened.failure
                          : step_failure{"opening the input", "the input cannot be opened"};
  }
  if (opened.stream_info_result < 0) {
    return ffmpeg_failure("reading the input's streams", opened.stream_info_result);
  }
  AVFormatContext* context = source.context.get();
  const AVCodec* video_codec = nullptr;
  const AVCodec* audio_codec = nullptr;
  const int video_index = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, &video_codec, 0);
  const int audio_index = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, &audio_codec, 0);
  // Video is required; a source without any sound stream gets silence, one
  // whose sound cannot be decoded is refused rather than silenced.
  if (video_index < 0) {
    return ffmpeg_failure("choosing the video stream", video_index);
  }
  if (audio_index < 0 && audio_index != AVERROR_STREAM_NOT_FOUND) {
    return ffmpeg_failure("choosing the audio stream", audio_index);
  }
  source.video_stream = context->streams[video_index];
  if (plan.pictures != picture_use::skipped) {
    if (step_result failed = open_decoder(
            video.decoder, video_decoder_for(source.video_stream, video_codec),
            source.video_stream, "opening the video decoder")) {
      return failed;
    }
  }
  if (audio_index >= 0) {
    source.audio_stream = context->streams[audio_index];
    // Sound taken from the ladder's track was decoded by its maker.
    if (plan.sound == sound_origin::made) {
      if (step_result failed = open_decoder(sound.maker.decoder, audio_codec,
                                            source.audio_stream, "opening the audio decoder")) {
        return failed;
      }
    }
  }
  source.origin = shared_origin(source.video_stream, source.audio_stream);
  source.continuity = make_timestamp_continuity(context);
  video.use = plan.pictures;
  video.clockwise_rotation = stream_rotation(source.video_stream);
  video.single_picture = (source.video_stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
  video.picture_duration = source_picture_duration(context, source.video_stream);
  sound.origin = source.audio_stream != nullptr || plan.silence_taken ? plan.sound
                                                                       : sound_origin::made;
  return std::nullopt;
}

step_result open_encoders(codec_context_ptr* video, codec_context_ptr& audio, int32_t width,
                          int32_t height, int32_t bitrate) {
  const AVCodec* h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (h264 == nullptr || aac == nullptr) {
    return step_failure{"finding the encoders",
                        h264 == nullptr ? "no H.264 encoder in this FFmpeg" : "no AAC encoder"};
  }
  if (video != nullptr) {
    if (step_result failed = open_video_encoder(*video, h264, width, height, bitrate)) {
      return failed;
    }
  }
  return open_audio_encoder(audio, aac);
}

step_result open_muxer(hls_muxer& muxer, const AVCodecContext* video, const AVCodecContext* audio,
                       const std::string& playlist, const std::string& key) {
  // A window of the timeline numbers its segments (and their IVs) as the
  // whole file's.
  const std::string first_segment = std::to_string(muxer.window.first_slot / segment_slots);
  const std::string segment_length = std::to_string(segment_seconds);
  // 9. Output context.
  AVFormatContext* raw = nullptr;
  const int allocated = avformat_alloc_output_context2(&raw, nullptr, "hls", playlist.c_str());
  if (allocated < 0) {
    return ffmpeg_failure("making the HLS muxer", allocated);
  }
  muxer.context.reset(raw);
  watch_file_closes(raw, muxer.close_watch);
  // 10. Video stream (index 0), then audio stream (index 1).
  if (step_result failed = add_output_stream(muxer.video_stream, raw, video)) {
    return failed;
  }
  if (step_result failed = add_output_stream(muxer.audio_stream, raw, audio)) {
    return failed;
  }
  // 11. Segment names: 720p.m3u8 writes 720p_000.ts, 720p_001.ts, ...
  muxer.segment_pattern = segment_base_name(playlist) + segment_number_pattern;
  // 12. Muxer options; the muxer judges their values. One it refuses fails
  // the rendition: without the key-info file the segments would go out
  // unencrypted.
  const struct {
    const char* name;
    const char* value;
    const char* step;
  } muxer_options[] = {
      {"hls_time", segment_length.c_str(), "setting the segment length"},
      {"hls_segment_filename", muxer.segment_pattern.c_str(), "setting the segment names"},
      {"hls_list_size", "0", "setting the playlist's length"},
      {"hls_key_info_file", key.c_str(), "setting the key-info file"},
      // A clock reference with every video packet: pictures are never more
      // than 100 ms apart, so neither are the references. (hls_ts_options,
      // the same dictionary under its old name, is gone from FFmpeg 7.)
      {"hls_segment_options", "pcr_period=20", "setting the transport stream's options"},
      {"start_number", first_segment.c_str(), "numbering the segments"},
  };
  for (const auto& option : muxer_options) {
    const int set = av_opt_set(raw->priv_data, option.name, option.value, 0);
    if (set < 0) {
      return ffmpeg_failure(option.step, set);
    }
  }
  // The H.264 encoder's decoding times run ahead of its pictures by its
  // reorder delay, and AAC's by its priming. Everything is written that much
  // later, so that no timestamp lies below zero whichever stream reaches the
  // muxer first (MPEG-TS timestamps wrap there, and players believe them).
  raw->output_ts_offset = output_delay_microseconds(video, audio);
  // The pictures may reach the muxer some seconds after the sound (a sparse
  // source's decoder and the encoder's lookahead hold them): the muxer waits
  // that long to write both in time order.
  raw->max_interleave_delta = max_interleave_microseconds;
  // 13. Open the playlist file, unless the muxer opens its files itself.
  if (!(raw->oformat->flags & AVFMT_NOFILE)) {
    const int opened = avio_open(&raw->pb, playlist.c_str(), AVIO_FLAG_WRITE);
    if (opened < 0) {
      return ffmpeg_failure("opening the output " + playlist, opened);
    }
  }
  // 14. Header: the muxer opens the first segment and reads the key here.
  // From here on a failure leaves the files unfinished.
  const int written = avformat_write_header(raw, nullptr);
  if (written < 0) {
    return ffmpeg_failure("starting the output " + playlist + " (its first segment and key)",
                          written);
  }
  return std::nullopt;
}

step_result prepare_paths(source_input& source, video_path& video, sound_path& sound) {
  if (sound.origin == sound_origin::made) {
    const int ready = setup_sound_maker(sound, source);
    if (ready < 0) {
      return ffmpeg_failure("building the loudness chain", ready);
    }
  }
  source.packet.reset(av_packet_alloc());
  video.decoded.reset(av_frame_alloc());
  video.filtered.reset(av_frame_alloc());
  video.held.reset(av_frame_alloc());
  video.mapped.reset(av_frame_alloc());
  if (!(source.packet && video.decoded && video.filtered && video.held && video.mapped)) {
    return ffmpeg_failure("allocating packets and frames", AVERROR(ENOMEM));
  }
  return std::nullopt;
}

// The RFC 6381 name of the encoder's H.264 stream: profile, constraint
// flags and level from the sequence parameter set the encoder put in its
// extradata, in Annex B or avcC form.
std::string h264_codec_name(const AVCodecContext* encoder) {
  const uint8_t* data = encoder->extradata;
  const int size = encoder->extradata_size;
  const uint8_t* profile = nullptr;
  if (data != nullptr && size >= 4 && data[0] == 1) {
    profile = data + 1;  // avcC: version 1, then profile, flags, level
  }
  for (int i = 0; data != nullptr && profile == nullptr && i + 6 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0x1f) == 7) {
      profile = data + i + 4;
    }
  }
  if (profile == nullptr) {
    return "";
  }
  char name[16] = {};
  std::snprintf(name, sizeof name, "avc1.%02x%02x%02x", profile[0], profile[1], profile[2]);
  return name;
}

}  // namespace quorvane
