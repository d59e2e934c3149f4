#include "video_path.h"

#include <string>

namespace quorvane {

bool setup_picture_turn(rendition_resources& worker, int clockwise_degrees) {
  picture_turn& turn = worker.turn;
  turn.clockwise_degrees = clockwise_degrees;
  if (clockwise_degrees == 0) {
    return true;
  }
  const char* description = clockwise_degrees == 90    ? "transpose=dir=clock"
                            : clockwise_degrees == 270 ? "transpose=dir=cclock"
                                                       : "hflip,vflip";
  const AVCodecContext* encoder = worker.video_encoder.get();
  const std::string arguments =
      "video_size=" + std::to_string(scaled_width(worker)) + "x" +
      std::to_string(scaled_height(worker)) + ":pix_fmt=" + std::to_string(encoder->pix_fmt) +
      ":time_base=" + std::to_string(encoder->time_base.num) + "/" +
      std::to_string(encoder->time_base.den) + ":pixel_aspect=1/1";
  if (!create_filter_endpoints(turn.chain, "buffer", arguments, "buffersink") ||
      !link_filter_chain(turn.chain, description)) {
    return false;
  }
  turn.turned.reset(av_frame_alloc());
  return turn.turned != nullptr;
}

static bool quarter_turn(const rendition_resources& worker) {
  return worker.turn.clockwise_degrees % 180 != 0;
}

int scaled_width(const rendition_resources& worker) {
  return quarter_turn(worker) ? worker.video_encoder->height : worker.video_encoder->width;
}

int scaled_height(const rendition_resources& worker) {
  return quarter_turn(worker) ? worker.video_encoder->width : worker.video_encoder->height;
}

// The encoder timestamp for a decoded picture, or AV_NOPTS_VALUE when the
// picture must be left out. Sources above 30 pictures per second, and
// jittery ones, round two pictures onto one 1/30 s slot; encoding both would
// give the muxer equal decode timestamps, which it refuses.
static int64_t picture_pts(const stream_timing& timing, int64_t decoded_pts,
                           AVRational encoder_time_base) {
  if (decoded_pts == AV_NOPTS_VALUE) {
    // An unstamped picture takes the next free slot.
    return timing.last_video_pts == AV_NOPTS_VALUE ? 0 : timing.last_video_pts + 1;
  }
  const int64_t pts = av_rescale_q(decoded_pts - timing.video_origin, timing.video_time_base,
                                   encoder_time_base);
  if (timing.last_video_pts != AV_NOPTS_VALUE && pts <= timing.last_video_pts) {
    return AV_NOPTS_VALUE;
  }
  return pts;
}

// Scales the decoded picture into the scaled frame. The scaler follows each
// picture's own size and format, so a source that changes either mid-stream
// is scaled correctly rather than read out of bounds.
static bool scale_picture(rendition_resources& worker) {
  const AVFrame* decoded = worker.decoded_frame.get();
  AVFrame* scaled = worker.scaled_frame.get();
  // The encoder may still hold a reference to the previous picture's buffers.
  if (av_frame_make_writable(scaled) < 0) {
    return false;
  }
  worker.scaler.reset(sws_getCachedContext(
      worker.scaler.release(), decoded->width, decoded->height,
      static_cast<AVPixelFormat>(decoded->format), scaled->width, scaled->height,
      static_cast<AVPixelFormat>(scaled->format), SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!worker.scaler) {
    return false;
  }
  sws_scale(worker.scaler.get(), decoded->data, decoded->linesize, 0, decoded->height,
            scaled->data, scaled->linesize);
  return true;
}

static bool encode_video_frame(rendition_resources& worker, const stream_timing& timing,
                               const AVFrame* frame) {
  return encode_and_write(worker.video_encoder.get(), worker.output.get(),
                          worker.output_video_stream, frame, worker.output_packet.get(),
                          timing.picture_duration);
}

// Passes the scaled picture through the turning chain and encodes what comes
// out; the chain keeps no picture back, so one goes in and one comes out.
static bool encode_turned_picture(rendition_resources& worker, const stream_timing& timing,
                                  int64_t pts) {
  picture_turn& turn = worker.turn;
  if (av_buffersrc_add_frame_flags(turn.chain.source, worker.scaled_frame.get(),
                                   AV_BUFFERSRC_FLAG_KEEP_REF) < 0) {
    return false;
  }
  for (;;) {
    const int pulled = av_buffersink_get_frame(turn.chain.sink, turn.turned.get());
    if (pulled == AVERROR(EAGAIN) || pulled == AVERROR_EOF) {
      return true;
    }
    if (pulled < 0) {
      return false;
    }
    turn.turned->pts = pts;
    const bool encoded = encode_video_frame(worker, timing, turn.turned.get());
    av_frame_unref(turn.turned.get());
    if (!encoded) {
      return false;
    }
  }
}

bool encode_picture(rendition_resources& worker, stream_timing& timing) {
  const int64_t pts =
      picture_pts(timing, worker.decoded_frame->pts, worker.video_encoder->time_base);
  if (pts == AV_NOPTS_VALUE) {
    return true;
  }
  if (!scale_picture(worker)) {
    return false;
  }
  timing.last_video_pts = pts;
  worker.scaled_frame->pts = pts;
  if (worker.turn.clockwise_degrees != 0) {
    return encode_turned_picture(worker, timing, pts);
  }
  return encode_video_frame(worker, timing, worker.scaled_frame.get());
}

bool decode_video_packet(rendition_resources& worker, stream_timing& timing) {
  if (avcodec_send_packet(worker.video_decoder.get(), worker.input_packet.get()) < 0) {
    return true;  // a packet the decoder refuses is skipped
  }
  while (avcodec_receive_frame(worker.video_decoder.get(), worker.decoded_frame.get()) >= 0) {
    const bool encoded = encode_picture(worker, timing);
    av_frame_unref(worker.decoded_frame.get());
    if (!encoded) {
      return false;
    }
  }
  return true;
}

void flush_video(rendition_resources& worker, stream_timing& timing) {
  avcodec_send_packet(worker.video_decoder.get(), nullptr);
  while (avcodec_receive_frame(worker.video_decoder.get(), worker.decoded_frame.get()) >= 0) {
    encode_picture(worker, timing);
    av_frame_unref(worker.decoded_frame.get());
  }
  encode_video_frame(worker, timing, nullptr);
}

}  // namespace quorvane
