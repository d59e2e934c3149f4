#include "rendition/transcode_rendition.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "rendition/audio_path.h"
#include "hls/output_format.h"
#include "rendition/output_writing.h"
#include "hls/playlist_check.h"
#include "rendition/rendition_parts.h"
#include "rendition/video_path.h"

namespace quorvane {

namespace {

// Empty when a step succeeded, else what failed and why.
using step_result = std::optional<step_failure>;

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
  context->thread_count = 0;
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

// A failure while encoding, with the FFmpeg error that an encoder, the muxer,
// a filter chain or the sound buffer gave last.
step_failure encoding_failure(const char* step, const hls_muxer& muxer) {
  const media_error& error = muxer.last_error;
  if (error.code < 0) {
    return ffmpeg_failure(error.step != nullptr ? error.step
                          : error.in_muxer      ? "writing the segments"
                                                : step,
                          error.code);
  }
  return step_failure{step, "a filter chain or the sound buffer failed"};
}

// The RFC 6381 name of the encoder's H.264 stream ("avc1.64001f"): profile,
// constraint flags and level from the sequence parameter set the encoder put
// in its extradata, in Annex B or avcC form. Empty when there is none.
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

// Steps 1 to 5: the input, its two streams and their decoders.
step_result open_source(source_input& source, video_path& video, audio_path& audio,
                        const std::string& input) {
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
  if (step_result failed = open_decoder(
          video.decoder, video_decoder_for(source.video_stream, video_codec),
          source.video_stream, "opening the video decoder")) {
    return failed;
  }
  if (audio_index >= 0) {
    source.audio_stream = context->streams[audio_index];
    if (step_result failed = open_decoder(audio.decoder, audio_codec, source.audio_stream,
                                          "opening the audio decoder")) {
      return failed;
    }
  }
  source.origin = shared_origin(source.video_stream, source.audio_stream);
  source.continuity = make_timestamp_continuity(context);
  video.clockwise_rotation = stream_rotation(source.video_stream);
  video.single_picture = (source.video_stream->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
  video.picture_duration = source_picture_duration(context, source.video_stream);
  return std::nullopt;
}

// Steps 6 to 8: the H.264 and AAC encoders.
step_result open_encoders(video_path& video, audio_path& audio, int32_t width, int32_t height,
                          int32_t bitrate) {
  const AVCodec* h264 = avcodec_find_encoder(AV_CODEC_ID_H264);
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (h264 == nullptr || aac == nullptr) {
    return step_failure{"finding the encoders",
                        h264 == nullptr ? "no H.264 encoder in this FFmpeg" : "no AAC encoder"};
  }
  if (step_result failed = open_video_encoder(video.encoder, h264, width, height, bitrate)) {
    return failed;
  }
  return open_audio_encoder(audio.encoder, aac);
}

// Steps 9 to 14: the HLS muxer, its streams and options, and its header.
step_result open_muxer(hls_muxer& muxer, const video_path& video, const audio_path& audio,
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
  if (step_result failed = add_output_stream(muxer.video_stream, raw, video.encoder.get())) {
    return failed;
  }
  if (step_result failed = add_output_stream(muxer.audio_stream, raw, audio.encoder.get())) {
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
  raw->output_ts_offset = output_delay_microseconds(video.encoder.get(), audio.encoder.get());
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

// Steps 15 to 18: the audio chain, packets and frames. The picture chain is
// built for the first decoded picture, whose properties it depends on.
step_result prepare_paths(source_input& source, hls_muxer& muxer, video_path& video,
                          audio_path& audio) {
  const int audio_ready = setup_audio_path(audio, source);
  if (audio_ready < 0) {
    return ffmpeg_failure("building the loudness chain", audio_ready);
  }
  source.packet.reset(av_packet_alloc());
  muxer.packet.reset(av_packet_alloc());
  video.decoded.reset(av_frame_alloc());
  video.filtered.reset(av_frame_alloc());
  video.held.picture.reset(av_frame_alloc());
  audio.decoded.reset(av_frame_alloc());
  audio.filtered.reset(av_frame_alloc());
  if (!(source.packet && muxer.packet && video.decoded && video.filtered && video.held.picture &&
        audio.decoded && audio.filtered)) {
    return ffmpeg_failure("allocating packets and frames", AVERROR(ENOMEM));
  }
  return std::nullopt;
}

// Seconds as a grid slot, held within what a timeline can use.
int64_t seconds_to_slot(double seconds) {
  const double slot = seconds / av_q2d(grid_time_base);
  return std::isfinite(slot) ? static_cast<int64_t>(std::clamp(slot, -1e15, 1e15)) : 0;
}

// Tells the picture path how far the sound plays on the pictures' timeline:
// as far as it was decoded, when it started no more than a few seconds past
// the pictures; a sound track that starts far away from them covers nothing.
// Pictures that have stopped coming follow the sound.
bool note_sound_reach(video_path& video, hls_muxer& muxer, const audio_path& audio) {
  if (audio_start_seconds(audio) > encoded_video_seconds(video) + max_bridged_seconds) {
    return true;
  }
  video.sound_reached_slot = seconds_to_slot(audio_decoded_end_seconds(audio));
  return follow_sound(video, muxer, audio_decoded_end_seconds(audio));
}

// Decodes one sound packet, placed on the timeline.
step_result encode_sound_packet(source_input& source, hls_muxer& muxer, video_path& video,
                                audio_path& audio, AVPacket* packet, bool new_recording_allowed) {
  keep_timestamps_continuous(source.continuity, packet, source.audio_stream, 1,
                             new_recording_allowed);
  if (source.warm_sound_from) {
    const double seconds = seconds_since(packet->pts, source.audio_stream->time_base, source.origin);
    const bool warming = audio.clock.started || !(seconds < *source.warm_sound_from);
    if (warming && !warm_up_sound(audio, source, muxer, packet)) {
      return encoding_failure("resuming the sound where the window starts", muxer);
    }
    return std::nullopt;
  }
  if (!decode_audio_packet(audio, source, muxer, packet)) {
    return encoding_failure("encoding the sound", muxer);
  }
  if (!note_sound_reach(video, muxer, audio)) {
    return encoding_failure("encoding the pictures", muxer);
  }
  return std::nullopt;
}

// Decodes the held sound. Where the pictures jumped back too, the offset has
// moved and the sound continues; where they went on, the sound's jump back
// is a repeat, which the loudness chain trims. Sound held for long (the
// pictures stopped, or the file ended) starts a new recording as before.
step_result release_held_sound(source_input& source, hls_muxer& muxer, video_path& video,
                               audio_path& audio, bool pictures_decided) {
  while (!source.held_sound.empty()) {
    const packet_ptr held = std::move(source.held_sound.front());
    source.held_sound.pop_front();
    if (step_result failed =
            encode_sound_packet(source, muxer, video, audio, held.get(), !pictures_decided)) {
      return failed;
    }
  }
  return std::nullopt;
}

// Sound packets held at most, waiting for a picture packet: some seconds
// of sound in any container.
constexpr size_t max_held_sound = 512;

// Holds a sound packet whose timestamp jumps back while the pictures go on,
// and those after it, until a picture packet says which it is. False when
// the packet is the caller's to decode now.
bool hold_sound(source_input& source, const AVPacket* packet) {
  if (source.held_sound.empty() &&
      !(streams_abreast(source.continuity) &&
        starts_new_recording(source.continuity, packet, source.audio_stream, 1))) {
    return false;
  }
  packet_ptr held(av_packet_clone(packet));
  if (!held) {
    return false;
  }
  source.held_sound.push_back(std::move(held));
  return true;
}

// A rendition that resumes within the file: the state it resumes from, and
// the decoded pictures that state refers to.
struct resumption {
  const timeline_snapshot* snapshot = nullptr;  // null: from the start
  std::vector<int64_t> needed;
  decoded_pictures kept;
  bool resumed = false;
};

// A planning pass: the state before the packet being read, the keyframes
// read so far, and the seams found.
struct seam_search {
  int64_t step_slots = 0;
  int64_t next_seam = 0;
  timeline_snapshot before;
  time_window window_before;
  bool sound_held_before = false;
  std::vector<std::pair<int64_t, int64_t>> keyframes;  // packet index, timestamp
  std::vector<planned_seam> seams;
};

// Decodes a sound packet, or holds it while its jump back is undecided.
step_result route_sound_packet(source_input& source, hls_muxer& muxer, video_path& video,
                               audio_path& audio, AVPacket* packet) {
  if (!hold_sound(source, packet)) {
    return encode_sound_packet(source, muxer, video, audio, packet, true);
  }
  if (source.held_sound.size() >= max_held_sound) {
    return release_held_sound(source, muxer, video, audio, false);
  }
  return std::nullopt;
}

// Before the resume point: pictures decoded from the keyframe the state
// asks for, sound from the time it asks for; timestamps carried on as the
// read loop carries them (sound that jumps back held the same way).
step_result warm_up_packet(source_input& source, hls_muxer& muxer, video_path& video,
                           audio_path& audio, resumption& resume, int64_t index, bool is_video) {
  AVPacket* packet = source.packet.get();
  if (is_video) {
    keep_timestamps_continuous(source.continuity, packet, source.video_stream, 0);
    if (index >= resume.snapshot->video_from_packet &&
        !decode_needed_pictures(video, source, resume.needed, resume.kept)) {
      return ffmpeg_failure("resuming the pictures where the window starts", AVERROR(ENOMEM));
    }
    return release_held_sound(source, muxer, video, audio, true);
  }
  return route_sound_packet(source, muxer, video, audio, packet);
}

step_result resume_here(source_input& source, hls_muxer& muxer, video_path& video,
                        audio_path& audio, resumption& resume) {
  source.warm_sound_from.reset();
  restore_snapshot(*resume.snapshot, source, video, audio);
  if (!resume_pictures(video, source, muxer, *resume.snapshot, resume.kept) ||
      !resume_sound(audio, muxer)) {
    return encoding_failure("resuming where the window starts", muxer);
  }
  resume.kept.clear();
  resume.resumed = true;
  return std::nullopt;
}

// The packet to decode pictures from for a window resuming from `state`: the
// last keyframe at or before every picture the state refers to (the start
// when none is), or the last keyframe read when it refers to none.
int64_t video_start_packet(const seam_search& search, const timeline_snapshot& state) {
  const std::vector<int64_t> needed = pictures_needed(state);
  int64_t earliest = INT64_MAX;
  for (int64_t own : needed) {
    earliest = std::min(earliest, own);
  }
  int64_t start = 0;
  for (const auto& [index, timestamp] : search.keyframes) {
    if (index >= state.packets) {
      break;
    }
    if (needed.empty() || (timestamp != AV_NOPTS_VALUE && timestamp <= earliest)) {
      start = index;
    }
  }
  return start;
}

// After each packet of a planning pass: every seam the timeline reached
// with it gets the state from before it, where a window can resume cleanly:
// no sound held, nothing of the window encoded yet, and a held picture the
// window can find again by its timestamp (an attached picture, the
// stream's only one, by its having none).
void note_seams(seam_search& search, const video_path& video, const audio_path& audio,
                const time_window& window) {
  while (reaches_slot(window, audio.first_pts, search.next_seam)) {
    const timeline_snapshot& state = search.before;
    const bool clean = !search.sound_held_before &&
                       !reaches_slot(search.window_before, state.first_pts, search.next_seam) &&
                       (!state.holding || state.held.source_pts != AV_NOPTS_VALUE ||
                        video.single_picture);
    if (clean) {
      planned_seam seam{search.next_seam, state};
      seam.resume.video_from_packet = video_start_packet(search, state);
      // The loudness filter's gain follows the integrated loudness of all
      // the sound before (its gating and its range too): the window's
      // chain hears the sound from the start, or its level would not be
      // the one call's.
      seam.resume.sound_from_seconds = -std::numeric_limits<double>::infinity();
      search.seams.push_back(std::move(seam));
    }
    search.next_seam += search.step_slots;
  }
}

// Routes the packet read to its path.
step_result route_packet(source_input& source, hls_muxer& muxer, video_path& video,
                         audio_path& audio, bool is_video) {
  AVPacket* packet = source.packet.get();
  if (is_video) {
    keep_timestamps_continuous(source.continuity, packet, source.video_stream, 0);
    if (!decode_video_packet(video, source, muxer) ||
        (source.audio_stream == nullptr &&
         !encode_silence_until(audio, muxer, encoded_video_seconds(video), false))) {
      return encoding_failure("encoding the pictures", muxer);
    }
    return release_held_sound(source, muxer, video, audio, true);
  }
  return route_sound_packet(source, muxer, video, audio, packet);
}

// Reads the input to its end, routing each packet to its path; a window of
// the timeline stops once everything it writes has come. A failure ends the
// rendition without its trailer.
step_result read_input(source_input& source, hls_muxer& muxer, video_path& video, audio_path& audio,
                       resumption& resume, seam_search* search) {
  AVPacket* packet = source.packet.get();
  int64_t index = 0;  // packets of the two streams read
  while (!window_done(muxer.window) && av_read_frame(source.context.get(), packet) >= 0) {
    const packet_unref_guard read(packet);
    const bool is_video = packet->stream_index == source.video_stream->index;
    if (!is_video && (source.audio_stream == nullptr ||
                      packet->stream_index != source.audio_stream->index)) {
      continue;
    }
    const int64_t at = index++;
    if (resume.snapshot != nullptr && !resume.resumed) {
      step_result failed = at < resume.snapshot->packets
                               ? warm_up_packet(source, muxer, video, audio, resume, at, is_video)
                               : resume_here(source, muxer, video, audio, resume);
      if (failed) {
        return failed;
      }
      if (!resume.resumed) {
        continue;
      }
    }
    if (search != nullptr) {
      search->before = take_snapshot(source, video, audio, at);
      search->window_before = muxer.window;
      search->sound_held_before = !source.held_sound.empty();
    }
    if (step_result failed = route_packet(source, muxer, video, audio, is_video)) {
      return failed;
    }
    if (search != nullptr) {
      if (is_video && (packet->flags & AV_PKT_FLAG_KEY) != 0) {
        search->keyframes.emplace_back(at, packet->pts);
      }
      note_seams(*search, video, audio, muxer.window);
    }
  }
  if (resume.snapshot != nullptr && !resume.resumed) {
    return step_failure{"resuming where the window starts", "the input ended before it"};
  }
  return release_held_sound(source, muxer, video, audio, false);
}

// Everything one rendition holds, released in reverse order on every way out.
struct rendition_pipeline {
  source_input source;
  hls_muxer muxer;
  video_path video;
  audio_path audio;
};

// End of input (or a read error, treated alike): the last pictures, then
// the sound's tail (or silence as long as the pictures); the last picture is
// held while the sound runs on; then both encoders are drained.
step_result finish_media(source_input& source, hls_muxer& muxer, video_path& video,
                         audio_path& audio) {
  if (!flush_video_pictures(video, source, muxer)) {
    return encoding_failure("encoding the last pictures", muxer);
  }
  if (!flush_audio(audio, source, muxer) ||
      (source.audio_stream == nullptr &&
       !encode_silence_until(audio, muxer, video_end_seconds(video), true))) {
    return encoding_failure("encoding the end of the sound", muxer);
  }
  // The last picture is held while sound plays on, but only for as much
  // sound as there is: a sound track placed hours away is not bridged.
  const double media_end = std::min(audio_end_seconds(audio),
                                    video_end_seconds(video) + audio_content_seconds(audio));
  video.sound_reached_slot = seconds_to_slot(media_end);
  if (!finish_video(video, muxer, media_end)) {
    return encoding_failure("encoding the last pictures", muxer);
  }
  return std::nullopt;
}

// A window that ends within the media: everything it writes has been
// encoded; the encoders give out what they still hold.
step_result finish_window(hls_muxer& muxer, video_path& video) {
  if (!encode_and_write(video.encoder.get(), muxer.context.get(), muxer.video_stream, nullptr,
                        muxer.packet.get(), &video.durations, &muxer.last_error,
                        written_packets{&muxer.window})) {
    return encoding_failure("encoding the last pictures", muxer);
  }
  return std::nullopt;
}

step_result run_rendition(rendition_pipeline& pipeline, const std::string& input,
                          const std::string& playlist, int32_t width, int32_t height,
                          int32_t bitrate, const std::string& key,
                          const rendition_window& window) {
  source_input& source = pipeline.source;
  hls_muxer& muxer = pipeline.muxer;
  video_path& video = pipeline.video;
  audio_path& audio = pipeline.audio;
  muxer.window.first_slot = window.first_slot;
  muxer.window.end_slot = window.end_slot;
  resumption resume;
  if (window.resume) {
    resume.snapshot = &*window.resume;
    resume.needed = pictures_needed(*window.resume);
    source.warm_sound_from = window.resume->sound_from_seconds;
  }
  if (step_result failed = open_source(source, video, audio, input)) {
    return failed;
  }
  muxer.window.pre_roll_slots = picture_pre_roll_slots(av_q2d(video.picture_duration));
  if (step_result failed = open_encoders(video, audio, width, height, bitrate)) {
    return failed;
  }
  if (step_result failed = open_muxer(muxer, video, audio, playlist, key)) {
    return failed;
  }
  if (step_result failed = prepare_paths(source, muxer, video, audio)) {
    return failed;
  }
  if (step_result failed = read_input(source, muxer, video, audio, resume, nullptr)) {
    return failed;
  }
  if (step_result failed = window_done(muxer.window) ? finish_window(muxer, video)
                                                     : finish_media(source, muxer, video, audio)) {
    return failed;
  }
  if (!encode_and_write(audio.encoder.get(), muxer.context.get(), muxer.audio_stream, nullptr,
                        muxer.packet.get(), nullptr, &muxer.last_error,
                        written_packets{&muxer.window, true, audio.first_pts})) {
    return encoding_failure("encoding the end of the sound", muxer);
  }
  const int trailer = av_write_trailer(muxer.context.get());
  if (trailer < 0) {
    return ffmpeg_failure("finishing the output " + playlist, trailer);
  }
  // A source whose pictures all failed to decode leaves a playlist of audio
  // and a video stream without a picture: players cannot use it.
  if (!has_pictures(video)) {
    return step_failure{"decoding the pictures", "no picture of the source could be decoded"};
  }
  if (muxer.close_watch.failed) {
    return step_failure{"writing the segments", "a segment file could not be written in full"};
  }
  if (!media_playlist_complete(playlist)) {
    // The muxer reports no error when it cannot make its files at all (a
    // working directory that is gone); the file system says why.
    const bool readable = ::access(playlist.c_str(), R_OK) == 0;
    return step_failure{"finishing the output " + playlist,
                        readable ? "the media playlist is incomplete" : std::strerror(errno)};
  }
  return std::nullopt;
}

}  // namespace

seam_plan_outcome plan_seams(const std::string& input, int32_t width, int32_t height,
                             int64_t step_slots) {
  rendition_pipeline pipeline;
  source_input& source = pipeline.source;
  hls_muxer& muxer = pipeline.muxer;
  video_path& video = pipeline.video;
  audio_path& audio = pipeline.audio;
  muxer.window.planning = true;
  seam_plan_outcome outcome;
  seam_search search;
  search.step_slots = std::max<int64_t>(step_slots, segment_slots);
  search.next_seam = search.step_slots;
  resumption from_start;
  outcome.failure = open_source(source, video, audio, input);
  if (!outcome.failure) {
    // Only the pictures' times matter here: the decoder leaves out its
    // deblocking, the chain works on a few pixels.
    video.decoder->skip_loop_filter = AVDISCARD_ALL;
    video.timing_only = true;
    muxer.window.pre_roll_slots = picture_pre_roll_slots(av_q2d(video.picture_duration));
    outcome.failure = open_encoders(video, audio, width, height, 0);
  }
  if (!outcome.failure) {
    outcome.failure = prepare_paths(source, muxer, video, audio);
  }
  if (!outcome.failure) {
    outcome.failure = read_input(source, muxer, video, audio, from_start, &search);
  }
  // A seam is reached a little before it (the encoders' lead-in); one the
  // pictures never got to is the end of the media, not a window's start.
  while (!search.seams.empty() && search.seams.back().slot > muxer.window.latest_slot) {
    search.seams.pop_back();
  }
  outcome.seams = std::move(search.seams);
  return outcome;
}

rendition_outcome transcode_rendition(std::string input, std::string playlist, int32_t width,
                                      int32_t height, int32_t bitrate, std::string key) {
  return transcode_rendition_part(std::move(input), std::move(playlist), width, height, bitrate,
                                  std::move(key), rendition_window{});
}

rendition_outcome transcode_rendition_part(std::string input, std::string playlist, int32_t width,
                                           int32_t height, int32_t bitrate, std::string key,
                                           const rendition_window& window) {
  rendition_pipeline pipeline;
  rendition_outcome outcome;
  outcome.failure = run_rendition(pipeline, input, playlist, width, height, bitrate, key, window);
  if (pipeline.video.encoder) {
    outcome.video_codec = h264_codec_name(pipeline.video.encoder.get());
  }
  return outcome;
}

}  // namespace quorvane
