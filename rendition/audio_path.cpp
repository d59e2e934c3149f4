#include "rendition/audio_path.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "ffmpeg/filter_chain.h"
#include "hls/output_format.h"
#include "rendition/output_writing.h"

namespace quorvane {

namespace {

// The rate the loudness filter measures at.
constexpr int loudness_sample_rate = 192000;
// Timestamp differences the resampler closes at once, with silence or a
// trim, rather than by stretching: the sound clock passes on only those
// beyond max_sound_step_seconds, so half of it is safely between.
constexpr double fill_or_trim_seconds = max_sound_step_seconds / 2;

// The sound is first brought to the loudness filter's rate and mixed down
// to the delivered stereo, so that the loudness measured and normalised is
// the loudness delivered; mono stays mono until the end (its loudness is the
// same spread over two channels, at half the cost). A second resampler then
// places it by its timestamps: a hole becomes silence, a repeat is trimmed,
// drift is stretched away, so the chain gets and gives out the whole
// timeline. Placing after the first keeps the silence it adds to that rate
// and two channels, whatever rate and channels a file claims. Then the
// encoder's format and rate. `first_seconds`, when set, is where the chain's
// sound must start on the timeline: a rebuilt chain goes on where the last
// ended.
std::string loudness_chain(int channels, double first_seconds) {
  const std::string measured_layout =
      std::string("aformat=channel_layouts=") + (channels == 1 ? "mono" : "stereo") + ",";
  char placement[160] = {};
  std::snprintf(placement, sizeof placement, "aresample=async=%.0f:min_hard_comp=%.3f",
                loudness_sample_rate * max_sound_drift, fill_or_trim_seconds);
  std::string chain =
      "aresample=" + std::to_string(loudness_sample_rate) + "," + measured_layout + placement;
  if (std::isfinite(first_seconds)) {
    // In samples of that resampler's input.
    chain += ":first_pts=" + std::to_string(std::llround(first_seconds * loudness_sample_rate));
  }
  return chain + "," + measured_layout +
         "loudnorm=I=-14:LRA=11:TP=-1.5,"
         "aformat=sample_fmts=fltp:sample_rates=" +
         std::to_string(output_sample_rate) + ":channel_layouts=stereo";
}

// A channel layout as the abuffer filter reads it. A layout whose order is
// unknown is described by the default layout for its channel count; sound
// that reports no channels at all is taken as stereo.
std::string channel_layout_text(const AVChannelLayout& decoded_layout) {
  AVChannelLayout layout{};
  if (decoded_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&layout, decoded_layout.nb_channels);
  } else if (av_channel_layout_copy(&layout, &decoded_layout) < 0) {
    return "stereo";
  }
  char text[64] = {};
  const bool described =
      layout.nb_channels > 0 && av_channel_layout_describe(&layout, text, sizeof text) > 0;
  av_channel_layout_uninit(&layout);
  return described && text[0] != '\0' ? text : "stereo";
}

sound_format decoder_sound_format(const AVCodecContext* decoder) {
  return {decoder->sample_rate, decoder->sample_fmt, channel_layout_text(decoder->ch_layout),
          decoder->ch_layout.nb_channels};
}

sound_format frame_sound_format(const AVFrame* sound) {
  return {sound->sample_rate, sound->format, channel_layout_text(sound->ch_layout),
          sound->ch_layout.nb_channels};
}

bool same_sound_format(const sound_format& a, const sound_format& b) {
  return a.sample_rate == b.sample_rate && a.sample_format == b.sample_format &&
         a.channel_layout == b.channel_layout;
}

// 0, or FFmpeg's error code. The chain counts time in samples of the sound,
// from the origin, as the sound clock places them.
int build_audio_chain(audio_path& path, const sound_format& format, double first_seconds) {
  path.chain = filter_chain{};
  const char* sample_format = av_get_sample_fmt_name(static_cast<AVSampleFormat>(format.sample_format));
  char arguments[512] = {};
  std::snprintf(arguments, sizeof arguments,
                "time_base=1/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                std::max(format.sample_rate, 1), format.sample_rate,
                sample_format != nullptr ? sample_format : "none", format.channel_layout.c_str());
  int built = create_filter_endpoints(path.chain, "abuffer", arguments, "abuffersink");
  if (built >= 0) {
    built = link_filter_chain(path.chain, loudness_chain(format.channels, first_seconds).c_str());
  }
  if (built < 0) {
    path.chain = filter_chain{};
    return built;
  }
  path.chain_format = format;
  return 0;
}

enum class block_result { encoded, not_read, not_encoded };

// An encoder block of `samples` samples, with buffers, not yet filled; null
// with the reason noted in `error` when it cannot be made.
frame_ptr make_block(const AVCodecContext* encoder, int samples, media_error& error) {
  frame_ptr block(av_frame_alloc());
  int made = block ? 0 : AVERROR(ENOMEM);
  if (made >= 0) {
    block->nb_samples = samples;
    block->format = encoder->sample_fmt;
    block->sample_rate = encoder->sample_rate;
    made = av_channel_layout_copy(&block->ch_layout, &encoder->ch_layout);
  }
  if (made >= 0) {
    made = av_frame_get_buffer(block.get(), 0);
  }
  if (made < 0) {
    failed_step(error, "making a block of sound", made);
    return nullptr;
  }
  return block;
}

// Stamps a filled block with the running sample count and encodes it.
bool encode_block(audio_path& path, hls_muxer& muxer, AVFrame* block) {
  block->pts = path.next_pts;
  path.next_pts += block->nb_samples;
  if (!admits_sound_block(muxer.window, path.first_pts, block->pts)) {
    return true;  // outside the part of the timeline written
  }
  return encode_and_write(path.encoder.get(), muxer.context.get(), muxer.audio_stream, block,
                          muxer.packet.get(), nullptr, &muxer.last_error,
                          written_packets{&muxer.window, true, path.first_pts});
}

// Cuts `samples` samples off the FIFO into one encoder block and encodes it.
block_result encode_fifo_block(audio_path& path, hls_muxer& muxer, int samples) {
  frame_ptr block = make_block(path.encoder.get(), samples, muxer.last_error);
  if (!block) {
    return block_result::not_read;
  }
  const int read =
      av_audio_fifo_read(path.fifo.get(), reinterpret_cast<void**>(block->data), samples);
  if (read < samples) {
    failed_step(muxer.last_error, "reading the sound buffer", read < 0 ? read : AVERROR_BUG);
    return block_result::not_read;
  }
  return encode_block(path, muxer, block.get()) ? block_result::encoded
                                                : block_result::not_encoded;
}

// Adds a filtered frame to the FIFO, leaving out sound from before the
// origin. 0, or FFmpeg's error code.
int store_in_fifo(audio_path& path, const AVFrame* filtered) {
  AVAudioFifo* fifo = path.fifo.get();
  const int grown = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + filtered->nb_samples);
  if (grown < 0) {
    return grown;
  }
  const int written = av_audio_fifo_write(fifo, reinterpret_cast<void**>(filtered->extended_data),
                                          filtered->nb_samples);
  if (written < filtered->nb_samples) {
    return written < 0 ? written : AVERROR_BUG;  // room was made for all of it
  }
  if (path.samples_to_skip > 0) {
    const int skipped =
        static_cast<int>(std::min<int64_t>(path.samples_to_skip, av_audio_fifo_size(fifo)));
    av_audio_fifo_drain(fifo, skipped);
    path.samples_to_skip -= skipped;
  }
  return 0;
}

bool encode_full_blocks(audio_path& path, hls_muxer& muxer) {
  while (av_audio_fifo_size(path.fifo.get()) >= path.encoder->frame_size) {
    if (encode_fifo_block(path, muxer, path.encoder->frame_size) != block_result::encoded) {
      return false;
    }
  }
  return true;
}

// In the read loop every filtered frame is stored and cut into full blocks,
// and any failure ends the rendition. At the end of input the tail is only
// collected; a frame that cannot be stored is left out.
// Before a resumed part only the chain's state matters: its output is kept
// as a short tail with where it ends.
enum class pull_mode { read_loop, flush, warm_up };

// The chain's output kept while warming up: enough to reach back past the
// loudness filter's 100 ms blocks and an AAC frame.
constexpr int warm_tail_samples = 16384;

int keep_warm_tail(audio_path& path, const AVFrame* filtered, AVRational time_base) {
  if (path.warmed_end == AV_NOPTS_VALUE && filtered->pts != AV_NOPTS_VALUE) {
    path.warmed_end = av_rescale_q(filtered->pts, time_base, AVRational{1, output_sample_rate});
  }
  if (path.warmed_end != AV_NOPTS_VALUE) {
    path.warmed_end += filtered->nb_samples;
  }
  AVAudioFifo* fifo = path.fifo.get();
  const int grown = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + filtered->nb_samples);
  const int written =
      grown < 0 ? grown
                : av_audio_fifo_write(fifo, reinterpret_cast<void**>(filtered->extended_data),
                                      filtered->nb_samples);
  if (written < 0) {
    return written;
  }
  return av_audio_fifo_drain(fifo, std::max(0, av_audio_fifo_size(fifo) - warm_tail_samples));
}

bool pull_filtered_sound(audio_path& path, hls_muxer& muxer, pull_mode mode) {
  const AVRational time_base = av_buffersink_get_time_base(path.chain.sink);
  const int pulled = pull_filtered_frames(path.chain.sink, path.filtered.get(), [&](AVFrame* filtered) {
    if (mode == pull_mode::warm_up) {
      const int kept = keep_warm_tail(path, filtered, time_base);
      return kept >= 0 || failed_step(muxer.last_error, "buffering the sound", kept);
    }
    const int stored = store_in_fifo(path, filtered);
    if (mode == pull_mode::flush) {
      return true;
    }
    return stored < 0 ? failed_step(muxer.last_error, "buffering the sound", stored)
                      : encode_full_blocks(path, muxer);
  });
  return pulled < 0 ? failed_step(muxer.last_error, "normalising the loudness", pulled)
                    : pulled != frame_not_used;
}

// Ends the chain's input and collects everything it still holds.
bool drain_chain(audio_path& path, hls_muxer& muxer, pull_mode mode) {
  const int ended = av_buffersrc_add_frame_flags(path.chain.source, nullptr, 0);
  if (ended < 0) {
    return failed_step(muxer.last_error, "flushing the loudness chain", ended);
  }
  return pull_filtered_sound(path, muxer, mode);
}

// Sound placed further than this from the origin (31 years) has a crafted
// timestamp.
constexpr double max_timeline_seconds = 1e9;

// Where the output's sound has reached, in seconds after the origin: what
// went to the encoder and what waits in the FIFO, less what is still to be
// skipped from before the origin.
double delivered_sound_seconds(const audio_path& path) {
  return static_cast<double>(path.next_pts + av_audio_fifo_size(path.fifo.get()) -
                             path.samples_to_skip) /
         output_sample_rate;
}

// The first decoded sound places the audio on the shared timeline: its own
// timestamp, not the container's idea of where the stream starts, says when
// it is heard. `seconds` is what the sound clock made of it, within
// max_timeline_seconds.
void start_timeline(audio_path& path, double seconds) {
  const auto offset = static_cast<int64_t>(std::llround(seconds * output_sample_rate));
  if (offset >= 0) {
    path.first_pts = offset;
    path.next_pts = offset;
  } else {
    path.samples_to_skip = -offset;
  }
}

// Stamps decoded sound with its place on the timeline, in the chain's time
// base (the sound's own samples from the origin).
void place_decoded_sound(audio_path& path, const source_input& source, AVFrame* sound) {
  double seconds =
      seconds_since(sound->best_effort_timestamp, source.audio_stream->time_base, source.origin);
  if (std::isnan(seconds) && !path.clock.started) {
    seconds = seconds_since(source.audio_stream->start_time, source.audio_stream->time_base,
                            source.origin);
  }
  // A timestamp the timeline could not take (one near the 64-bit limits,
  // which no offset can move) is no time at all: the sound is counted on.
  if (std::fabs(seconds) > max_timeline_seconds) {
    seconds = std::nan("");
  }
  const double frame_seconds =
      sound->sample_rate > 0 ? static_cast<double>(sound->nb_samples) / sound->sample_rate : 0;
  path.stamps.decoded_seconds += frame_seconds;
  const bool first = !path.clock.started;
  const double placed = place_sound(path.clock, seconds, frame_seconds);
  if (first) {
    start_timeline(path, placed);
  }
  const double stamp = placed * sound->sample_rate;
  sound->pts = std::isfinite(stamp) && std::fabs(stamp) < 1e15 ? std::llround(stamp)
                                                                 : AV_NOPTS_VALUE;
}

// Feeds one decoded frame to the chain, rebuilding the chain first when the
// sound's layout, rate or sample format changed: the old chain is drained
// and the new one goes on from where its sound ended.
bool filter_sound(audio_path& path, source_input& source, hls_muxer& muxer, AVFrame* sound,
                  pull_mode mode) {
  place_decoded_sound(path, source, sound);
  const sound_format format = frame_sound_format(sound);
  if (!same_sound_format(format, path.chain_format)) {
    if (!drain_chain(path, muxer, mode)) {
      return false;
    }
    const double reached = mode != pull_mode::warm_up ? delivered_sound_seconds(path)
                           : path.warmed_end != AV_NOPTS_VALUE
                               ? static_cast<double>(path.warmed_end) / output_sample_rate
                               : std::nan("");
    const int built = build_audio_chain(path, format, reached);
    if (built < 0) {
      return failed_step(muxer.last_error, "building the loudness chain", built);
    }
  }
  const int fed = av_buffersrc_add_frame_flags(path.chain.source, sound, 0);
  if (fed < 0) {
    // At the end a refused frame is only left out.
    return mode == pull_mode::flush ||
           failed_step(muxer.last_error, "feeding the loudness chain", fed);
  }
  return pull_filtered_sound(path, muxer, mode);
}

// Sends a sound packet to the decoder, without a timestamp the demuxer only
// guessed; false when the decoder refuses it.
bool send_sound_packet(audio_path& path, const source_input& source, AVPacket* packet) {
  if (guessed_timestamp(path.stamps, packet, source.audio_stream->time_base)) {
    packet->pts = AV_NOPTS_VALUE;
    packet->dts = AV_NOPTS_VALUE;
  }
  return avcodec_send_packet(path.decoder.get(), packet) >= 0;
}

}  // namespace

int setup_audio_path(audio_path& path, const source_input& source) {
  if (source.audio_stream == nullptr) {
    return 0;  // silence needs neither chain nor FIFO
  }
  const int built =
      build_audio_chain(path, decoder_sound_format(path.decoder.get()), std::nan(""));
  if (built < 0) {
    return built;
  }
  path.fifo.reset(av_audio_fifo_alloc(path.encoder->sample_fmt,
                                      path.encoder->ch_layout.nb_channels, 1));
  return path.fifo != nullptr ? 0 : AVERROR(ENOMEM);
}

bool decode_audio_packet(audio_path& path, source_input& source, hls_muxer& muxer,
                         AVPacket* packet) {
  if (!send_sound_packet(path, source, packet)) {
    return true;  // a packet the decoder refuses is skipped
  }
  return receive_decoded_frames(path.decoder.get(), path.decoded.get(), [&](AVFrame* sound) {
    return filter_sound(path, source, muxer, sound, pull_mode::read_loop);
  });
}

bool warm_up_sound(audio_path& path, source_input& source, hls_muxer& muxer, AVPacket* packet) {
  if (!send_sound_packet(path, source, packet)) {
    return true;
  }
  return receive_decoded_frames(path.decoder.get(), path.decoded.get(), [&](AVFrame* sound) {
    return filter_sound(path, source, muxer, sound, pull_mode::warm_up);
  });
}

bool resume_sound(audio_path& path, hls_muxer& muxer) {
  AVAudioFifo* fifo = path.fifo.get();
  if (fifo == nullptr) {
    return true;  // silence: nothing to resume
  }
  const int64_t size = av_audio_fifo_size(fifo);
  const int64_t end = path.warmed_end;
  path.warmed_end = AV_NOPTS_VALUE;
  if (end == AV_NOPTS_VALUE || end <= path.next_pts) {
    // Nothing the resumed part needs was given out yet; what the chain
    // gives out before `next_pts` is left out.
    av_audio_fifo_reset(fifo);
    path.samples_to_skip += end == AV_NOPTS_VALUE ? 0 : path.next_pts - end;
    return true;
  }
  if (end - size > path.next_pts) {
    return failed_step(muxer.last_error, "resuming the sound where the window starts",
                       AVERROR_INVALIDDATA);
  }
  const int drained = av_audio_fifo_drain(fifo, static_cast<int>(path.next_pts - (end - size)));
  return drained >= 0 ||
         failed_step(muxer.last_error, "resuming the sound where the window starts", drained);
}

bool flush_audio(audio_path& path, source_input& source, hls_muxer& muxer) {
  if (source.audio_stream == nullptr) {
    return true;
  }
  // 1. Drain the decoder into the chain. An error here is the decoder's on a
  //    packet it still held, skipped as in the read loop.
  avcodec_send_packet(path.decoder.get(), nullptr);
  if (!receive_decoded_frames(path.decoder.get(), path.decoded.get(), [&](AVFrame* sound) {
        return filter_sound(path, source, muxer, sound, pull_mode::flush);
      })) {
    return false;
  }
  // 2. End the chain's input and collect what it still holds.
  if (!drain_chain(path, muxer, pull_mode::flush)) {
    return false;
  }
  // 3. Empty the FIFO: full blocks, then one short block with the remainder.
  while (av_audio_fifo_size(path.fifo.get()) > 0) {
    const int samples = std::min(path.encoder->frame_size, av_audio_fifo_size(path.fifo.get()));
    if (encode_fifo_block(path, muxer, samples) == block_result::not_read) {
      break;  // the FIFO did not shrink; trying again would loop forever
    }
  }
  return true;
}

double audio_end_seconds(const audio_path& path) {
  return static_cast<double>(path.next_pts) / output_sample_rate;
}

double audio_start_seconds(const audio_path& path) {
  return static_cast<double>(path.first_pts) / output_sample_rate;
}

double audio_decoded_end_seconds(const audio_path& path) {
  return sound_end_seconds(path.clock);
}

double audio_content_seconds(const audio_path& path) {
  return static_cast<double>(path.next_pts - path.first_pts) / output_sample_rate;
}

bool encode_silence_until(audio_path& path, hls_muxer& muxer, double seconds, bool last) {
  if (!std::isfinite(seconds) || seconds > 1e9) {
    return false;
  }
  const int64_t target = std::llround(seconds * output_sample_rate);
  const int frame_size = path.encoder->frame_size;
  while (path.next_pts < target) {
    const int64_t missing = target - path.next_pts;
    if (missing < frame_size && !last) {
      break;  // the rest comes with the next pictures
    }
    const int samples = static_cast<int>(std::min<int64_t>(frame_size, missing));
    frame_ptr block = make_block(path.encoder.get(), samples, muxer.last_error);
    if (!block) {
      return false;
    }
    av_samples_set_silence(block->extended_data, 0, samples, block->ch_layout.nb_channels,
                           static_cast<AVSampleFormat>(block->format));
    if (!encode_block(path, muxer, block.get())) {
      return false;
    }
  }
  return true;
}

}  // namespace quorvane
