#include "audio_path.h"

#include <algorithm>
#include <cstdio>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace quorvane {

namespace {

constexpr const char* loudness_chain =
    "loudnorm=I=-14:LRA=11:TP=-1.5,"
    "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=stereo";

// The decoder's channel layout as the abuffer filter reads it. A layout whose
// order is unknown is described by the default layout for its channel count;
// a decoder that reports no channels at all is taken as stereo.
std::string channel_layout_text(const AVChannelLayout& decoder_layout) {
  AVChannelLayout layout{};
  if (decoder_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
    av_channel_layout_default(&layout, decoder_layout.nb_channels);
  } else if (av_channel_layout_copy(&layout, &decoder_layout) < 0) {
    return "stereo";
  }
  char text[64] = {};
  const bool described =
      layout.nb_channels > 0 && av_channel_layout_describe(&layout, text, sizeof text) > 0;
  av_channel_layout_uninit(&layout);
  return described && text[0] != '\0' ? text : "stereo";
}

std::string audio_source_arguments(const AVStream* stream, const AVCodecContext* decoder) {
  const char* sample_format = av_get_sample_fmt_name(decoder->sample_fmt);
  char arguments[512] = {};
  std::snprintf(arguments, sizeof arguments,
                "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s",
                stream->time_base.num, stream->time_base.den, decoder->sample_rate,
                sample_format != nullptr ? sample_format : "none",
                channel_layout_text(decoder->ch_layout).c_str());
  return arguments;
}

enum class block_result { encoded, not_read, not_encoded };

// Cuts `samples` samples off the FIFO into one encoder block, stamps it with
// the running sample count and encodes it.
block_result encode_fifo_block(rendition_resources& worker, stream_timing& timing, int samples) {
  const AVCodecContext* encoder = worker.audio_encoder.get();
  frame_ptr block(av_frame_alloc());
  if (!block) {
    return block_result::not_read;
  }
  block->nb_samples = samples;
  block->format = encoder->sample_fmt;
  block->sample_rate = encoder->sample_rate;
  if (av_channel_layout_copy(&block->ch_layout, &encoder->ch_layout) < 0 ||
      av_frame_get_buffer(block.get(), 0) < 0) {
    return block_result::not_read;
  }
  if (av_audio_fifo_read(worker.audio_fifo.get(), reinterpret_cast<void**>(block->data),
                         samples) < samples) {
    return block_result::not_read;
  }
  block->pts = timing.next_audio_pts;
  timing.next_audio_pts += samples;
  const bool encoded = encode_and_write(worker.audio_encoder.get(), worker.output.get(),
                                        worker.output_audio_stream, block.get(),
                                        worker.output_packet.get());
  return encoded ? block_result::encoded : block_result::not_encoded;
}

bool store_in_fifo(AVAudioFifo* fifo, AVFrame* filtered) {
  if (av_audio_fifo_realloc(fifo, av_audio_fifo_size(fifo) + filtered->nb_samples) < 0) {
    return false;
  }
  return av_audio_fifo_write(fifo, reinterpret_cast<void**>(filtered->extended_data),
                             filtered->nb_samples) >= filtered->nb_samples;
}

bool encode_full_blocks(rendition_resources& worker, stream_timing& timing) {
  while (av_audio_fifo_size(worker.audio_fifo.get()) >= worker.audio_encoder->frame_size) {
    if (encode_fifo_block(worker, timing, worker.audio_encoder->frame_size) !=
        block_result::encoded) {
      return false;
    }
  }
  return true;
}

// In the read loop every filtered frame is stored and cut into full blocks,
// and any failure ends the rendition. At the end of input the tail is only
// collected; a frame that cannot be stored is left out.
enum class pull_mode { read_loop, flush };

// Pulls everything the sink has ready. False on a sink error, or in the read
// loop on a failure to store or encode.
bool pull_filtered_audio(rendition_resources& worker, stream_timing& timing, pull_mode mode) {
  for (;;) {
    frame_ptr filtered(av_frame_alloc());
    if (!filtered) {
      return false;
    }
    const int pulled = av_buffersink_get_frame(worker.audio_chain.sink, filtered.get());
    if (pulled == AVERROR(EAGAIN) || pulled == AVERROR_EOF) {
      return true;
    }
    if (pulled < 0) {
      return false;
    }
    const bool stored = store_in_fifo(worker.audio_fifo.get(), filtered.get());
    if (mode == pull_mode::flush) {
      continue;
    }
    if (!stored || !encode_full_blocks(worker, timing)) {
      return false;
    }
  }
}

}  // namespace

bool setup_audio_chain(rendition_resources& worker) {
  const AVStream* stream = worker.input->streams[worker.audio_stream_index];
  if (!create_filter_endpoints(worker.audio_chain, "abuffer",
                               audio_source_arguments(stream, worker.audio_decoder.get()),
                               "abuffersink") ||
      !link_filter_chain(worker.audio_chain, loudness_chain)) {
    return false;
  }
  worker.audio_fifo.reset(av_audio_fifo_alloc(worker.audio_encoder->sample_fmt,
                                              worker.audio_encoder->ch_layout.nb_channels, 1));
  return worker.audio_fifo != nullptr;
}

bool decode_audio_packet(rendition_resources& worker, stream_timing& timing) {
  if (avcodec_send_packet(worker.audio_decoder.get(), worker.input_packet.get()) < 0) {
    return true;  // a packet the decoder refuses is skipped
  }
  while (avcodec_receive_frame(worker.audio_decoder.get(), worker.decoded_frame.get()) >= 0) {
    if (av_buffersrc_add_frame_flags(worker.audio_chain.source, worker.decoded_frame.get(), 0) <
        0) {
      return false;
    }
    const bool pulled = pull_filtered_audio(worker, timing, pull_mode::read_loop);
    av_frame_unref(worker.decoded_frame.get());
    if (!pulled) {
      return false;
    }
  }
  return true;
}

bool flush_audio(rendition_resources& worker, stream_timing& timing) {
  // 1. Drain the decoder into the chain.
  avcodec_send_packet(worker.audio_decoder.get(), nullptr);
  while (avcodec_receive_frame(worker.audio_decoder.get(), worker.decoded_frame.get()) >= 0) {
    const bool accepted =
        av_buffersrc_add_frame_flags(worker.audio_chain.source, worker.decoded_frame.get(), 0) >= 0;
    const bool pulled = !accepted || pull_filtered_audio(worker, timing, pull_mode::flush);
    av_frame_unref(worker.decoded_frame.get());
    if (!pulled) {
      return false;
    }
  }
  // 2. End the chain's input and collect what it still holds.
  if (av_buffersrc_add_frame_flags(worker.audio_chain.source, nullptr, 0) < 0 ||
      !pull_filtered_audio(worker, timing, pull_mode::flush)) {
    return false;
  }
  // 3. Empty the FIFO: full blocks, then one short block with the remainder.
  while (av_audio_fifo_size(worker.audio_fifo.get()) > 0) {
    const int samples =
        std::min(worker.audio_encoder->frame_size, av_audio_fifo_size(worker.audio_fifo.get()));
    if (encode_fifo_block(worker, timing, samples) == block_result::not_read) {
      break;  // the FIFO did not shrink; trying again would loop forever
    }
  }
  return true;
}

}  // namespace quorvane
