#include "rendition/sound_maker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "ffmpeg/filter_chain.h"
#include "hls/output_format.h"

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
int build_audio_chain(sound_maker& path, const sound_format& format, double first_seconds) {
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
    error = media_error{made, false, "making a block of sound"};
    return nullptr;
  }
  return block;
}

// Hands `frame` (or the end-of-stream null) to the encoder and adds every
// packet it gives out to the step.
bool encode_into(sound_path& path, const AVFrame* frame, sound_step& step, media_error& error) {
  AVCodecContext* encoder = path.encoder.get();
  const int sent = avcodec_send_frame(encoder, frame);
  if (sent < 0) {
    error = media_error{sent, false, nullptr};
    return false;
  }
  for (;;) {
    packet_ptr packet(av_packet_alloc());
    if (!packet) {
      error = media_error{AVERROR(ENOMEM), false, nullptr};
      return false;
    }
    const int received = avcodec_receive_packet(encoder, packet.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return true;
    }
    if (received < 0) {
      error = media_error{received, false, nullptr};
      return false;
    }
    step.packets.push_back(std::move(packet));
  }
}

// Stamps a filled block with the running sample count and encodes it.
bool encode_block(sound_path& path, AVFrame* block, sound_step& step, media_error& error) {
  block->pts = path.progress.next_pts;
  path.progress.next_pts += block->nb_samples;
  return encode_into(path, block, step, error);
}

// A damaged stream can decode to samples that are no numbers, or far beyond
// full scale, and the loudness chain carries them on: the AAC encoder
// refuses the first and can search its quantisers almost without end on the
// second. They become silence, or peaks 18 dB over full scale, which no
// sound the chain normalised comes near.
constexpr float max_sample = 8.0f;

void keep_samples_in_range(AVFrame* block) {
  if (block->format != AV_SAMPLE_FMT_FLTP) {
    return;
  }
  for (int channel = 0; channel < block->ch_layout.nb_channels; ++channel) {
    float* samples = reinterpret_cast<float*>(block->extended_data[channel]);
    for (int i = 0; i < block->nb_samples; ++i) {
      samples[i] = std::isfinite(samples[i]) ? std::clamp(samples[i], -max_sample, max_sample) : 0.0f;
    }
  }
}

// Cuts `samples` samples off the FIFO into one encoder block and encodes it.
enum class block_result { encoded, not_read, not_encoded };

block_result encode_fifo_block(sound_path& path, int samples, sound_step& step,
                               media_error& error) {
  frame_ptr block = make_block(path.encoder.get(), samples, error);
  if (!block) {
    return block_result::not_read;
  }
  const int read =
      av_audio_fifo_read(path.maker.fifo.get(), reinterpret_cast<void**>(block->data), samples);
  if (read < samples) {
    error = media_error{read < 0 ? read : AVERROR_BUG, false, "reading the sound buffer"};
    return block_result::not_read;
  }
  keep_samples_in_range(block.get());
  return encode_block(path, block.get(), step, error) ? block_result::encoded
                                                      : block_result::not_encoded;
}

// Adds a filtered frame to the FIFO, leaving out sound from before the
// origin. 0, or FFmpeg's error code.
int store_in_fifo(sound_maker& maker, const AVFrame* filtered) {
  AVAudioFifo* fifo = maker.fifo.get();
  const int grown = av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + filtered->nb_samples);
  if (grown < 0) {
    return grown;
  }
  const int written = av_audio_fifo_write(fifo, reinterpret_cast<void**>(filtered->extended_data),
                                          filtered->nb_samples);
  if (written < filtered->nb_samples) {
    return written < 0 ? written : AVERROR_BUG;  // room was made for all of it
  }
  if (maker.samples_to_skip > 0) {
    const int skipped =
        static_cast<int>(std::min<int64_t>(maker.samples_to_skip, av_audio_fifo_size(fifo)));
    av_audio_fifo_drain(fifo, skipped);
    maker.samples_to_skip -= skipped;
  }
  return 0;
}

bool encode_full_blocks(sound_path& path, sound_step& step, media_error& error) {
  while (av_audio_fifo_size(path.maker.fifo.get()) >= path.encoder->frame_size) {
    if (encode_fifo_block(path, path.encoder->frame_size, step, error) != block_result::encoded) {
      return false;
    }
  }
  return true;
}

// In the read loop every filtered frame is stored and cut into full blocks,
// and any failure ends the pass. At the end of input the tail is only
// collected; a frame that cannot be stored is left out.
bool pull_filtered_sound(sound_path& path, bool at_end, sound_step& step, media_error& error) {
  sound_maker& maker = path.maker;
  const int pulled = pull_filtered_frames(maker.chain.sink, maker.filtered.get(), [&](AVFrame* filtered) {
    const int stored = store_in_fifo(maker, filtered);
    if (at_end) {
      return true;
    }
    if (stored < 0) {
      error = media_error{stored, false, "buffering the sound"};
      return false;
    }
    return encode_full_blocks(path, step, error);
  });
  if (pulled < 0) {
    error = media_error{pulled, false, "normalising the loudness"};
    return false;
  }
  return pulled != frame_not_used;
}

// Ends the chain's input and collects everything it still holds.
bool drain_chain(sound_path& path, bool at_end, sound_step& step, media_error& error) {
  const int ended = av_buffersrc_add_frame_flags(path.maker.chain.source, nullptr, 0);
  if (ended < 0) {
    error = media_error{ended, false, "flushing the loudness chain"};
    return false;
  }
  return pull_filtered_sound(path, at_end, step, error);
}

// Sound placed further than this from the origin (31 years) has a crafted
// timestamp.
constexpr double max_timeline_seconds = 1e9;

// Where the output's sound has reached, in seconds after the origin: what
// went to the encoder and what waits in the FIFO, less what is still to be
// skipped from before the origin.
double delivered_sound_seconds(const sound_path& path) {
  return static_cast<double>(path.progress.next_pts + av_audio_fifo_size(path.maker.fifo.get()) -
                             path.maker.samples_to_skip) /
         output_sample_rate;
}

// The first decoded sound places the audio on the shared timeline: its own
// timestamp, not the container's idea of where the stream starts, says when
// it is heard. `seconds` is what the sound clock made of it, within
// max_timeline_seconds.
void start_timeline(sound_path& path, double seconds) {
  const auto offset = static_cast<int64_t>(std::llround(seconds * output_sample_rate));
  if (offset >= 0) {
    path.progress.first_pts = offset;
    path.progress.next_pts = offset;
  } else {
    path.maker.samples_to_skip = -offset;
  }
}

// Stamps decoded sound with its place on the timeline, in the chain's time
// base (the sound's own samples from the origin).
void place_decoded_sound(sound_path& path, const source_input& source, AVFrame* sound) {
  sound_maker& maker = path.maker;
  double seconds =
      seconds_since(sound->best_effort_timestamp, source.audio_stream->time_base, source.origin);
  if (std::isnan(seconds) && !maker.clock.started) {
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
  maker.stamps.decoded_seconds += frame_seconds;
  const bool first = !maker.clock.started;
  const double placed = place_sound(maker.clock, seconds, frame_seconds);
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
bool filter_sound(sound_path& path, const source_input& source, AVFrame* sound, bool at_end,
                  sound_step& step, media_error& error) {
  sound_maker& maker = path.maker;
  place_decoded_sound(path, source, sound);
  const sound_format format = frame_sound_format(sound);
  if (!same_sound_format(format, maker.chain_format)) {
    if (!drain_chain(path, at_end, step, error)) {
      return false;
    }
    const int built = build_audio_chain(maker, format, delivered_sound_seconds(path));
    if (built < 0) {
      error = media_error{built, false, "building the loudness chain"};
      return false;
    }
  }
  const int fed = av_buffersrc_add_frame_flags(maker.chain.source, sound, 0);
  if (fed < 0) {
    // At the end a refused frame is only left out.
    if (at_end) {
      return true;
    }
    error = media_error{fed, false, "feeding the loudness chain"};
    return false;
  }
  return pull_filtered_sound(path, at_end, step, error);
}

// Decodes what the decoder gives for what it was sent, through the chain.
bool filter_decoded(sound_path& path, const source_input& source, bool at_end, sound_step& step,
                    media_error& error) {
  sound_maker& maker = path.maker;
  return receive_decoded_frames(maker.decoder.get(), maker.decoded.get(), [&](AVFrame* sound) {
    return filter_sound(path, source, sound, at_end, step, error);
  });
}

}  // namespace

int setup_sound_maker(sound_path& path, const source_input& source) {
  if (source.audio_stream == nullptr) {
    return 0;  // silence needs neither chain nor FIFO
  }
  sound_maker& maker = path.maker;
  maker.decoded.reset(av_frame_alloc());
  maker.filtered.reset(av_frame_alloc());
  if (!maker.decoded || !maker.filtered) {
    return AVERROR(ENOMEM);
  }
  const int built =
      build_audio_chain(maker, decoder_sound_format(maker.decoder.get()), std::nan(""));
  if (built < 0) {
    return built;
  }
  maker.fifo.reset(av_audio_fifo_alloc(path.encoder->sample_fmt,
                                       path.encoder->ch_layout.nb_channels, 1));
  return maker.fifo != nullptr ? 0 : AVERROR(ENOMEM);
}

bool make_sound_packet(sound_path& path, const source_input& source, AVPacket* packet,
                       sound_step& step, media_error& error) {
  sound_maker& maker = path.maker;
  // A timestamp the demuxer only guessed says nothing of its own.
  if (guessed_timestamp(maker.stamps, packet, source.audio_stream->time_base)) {
    packet->pts = AV_NOPTS_VALUE;
    packet->dts = AV_NOPTS_VALUE;
  }
  const bool made = avcodec_send_packet(maker.decoder.get(), packet) < 0 ||  // skipped
                    filter_decoded(path, source, false, step, error);
  path.progress.decoded_end_seconds = sound_end_seconds(maker.clock);
  return made;
}

bool make_sound_tail(sound_path& path, const source_input& source, sound_step& step,
                     media_error& error) {
  // 1. Drain the decoder into the chain. An error here is the decoder's on a
  //    packet it still held, skipped as in the read loop.
  avcodec_send_packet(path.maker.decoder.get(), nullptr);
  if (!filter_decoded(path, source, true, step, error)) {
    return false;
  }
  path.progress.decoded_end_seconds = sound_end_seconds(path.maker.clock);
  // 2. End the chain's input and collect what it still holds.
  if (!drain_chain(path, true, step, error)) {
    return false;
  }
  // 3. Empty the FIFO: full blocks, then one short block with the remainder.
  while (av_audio_fifo_size(path.maker.fifo.get()) > 0) {
    const int samples =
        std::min(path.encoder->frame_size, av_audio_fifo_size(path.maker.fifo.get()));
    if (encode_fifo_block(path, samples, step, error) == block_result::not_read) {
      break;  // the FIFO did not shrink; trying again would loop forever
    }
  }
  return true;
}

bool drain_sound_encoder(sound_path& path, sound_step& step, media_error& error) {
  return encode_into(path, nullptr, step, error);
}

bool make_silence(sound_path& path, double seconds, bool last, sound_step& step,
                  media_error& error) {
  if (!std::isfinite(seconds) || seconds > max_timeline_seconds) {
    error = media_error{AVERROR(EINVAL), false, "making silence for the pictures"};
    return false;
  }
  const int64_t target = std::llround(seconds * output_sample_rate);
  const int frame_size = path.encoder->frame_size;
  while (path.progress.next_pts < target) {
    const int64_t missing = target - path.progress.next_pts;
    if (missing < frame_size && !last) {
      break;  // the rest comes with the next pictures
    }
    const int samples = static_cast<int>(std::min<int64_t>(frame_size, missing));
    frame_ptr block = make_block(path.encoder.get(), samples, error);
    if (!block) {
      return false;
    }
    av_samples_set_silence(block->extended_data, 0, samples, block->ch_layout.nb_channels,
                           static_cast<AVSampleFormat>(block->format));
    if (!encode_block(path, block.get(), step, error)) {
      return false;
    }
  }
  return true;
}

}  // namespace quorvane
