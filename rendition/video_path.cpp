#include "video_path.h"

#include <cmath>

#include "video_chain.h"

namespace quorvane {

namespace {

constexpr AVRational grid_time_base{1, 30};

bool encode_picture(video_path& path, hls_muxer& muxer, AVFrame* picture) {
  // Every rung is BT.709 in limited range and says so.
  picture->color_primaries = AVCOL_PRI_BT709;
  picture->color_trc = AVCOL_TRC_BT709;
  picture->colorspace = AVCOL_SPC_BT709;
  picture->color_range = AVCOL_RANGE_MPEG;
  // The source's picture types must not force keyframes: the encoder places
  // one exactly every 60 pictures.
  picture->pict_type = AV_PICTURE_TYPE_NONE;
  av_frame_unref(path.last_picture.get());
  if (av_frame_ref(path.last_picture.get(), picture) < 0) {
    return false;
  }
  return encode_and_write(path.encoder.get(), muxer.context.get(), muxer.video_stream, picture,
                          muxer.packet.get(), path.picture_duration);
}

bool encode_chain_output(video_path& path, hls_muxer& muxer) {
  return pull_filtered_frames(path.chain.sink, path.filtered.get(), [&](AVFrame* picture) {
    return encode_picture(path, muxer, picture);
  });
}

// Ends the current chain's input and encodes what it still holds (the
// deinterlacer keeps one picture back).
bool drain_chain(video_path& path, hls_muxer& muxer) {
  if (path.chain.source == nullptr) {
    return true;
  }
  const bool drained = av_buffersrc_add_frame_flags(path.chain.source, nullptr, 0) >= 0 &&
                       encode_chain_output(path, muxer);
  path.chain = filter_chain{};
  return drained;
}

// Places one decoded picture on the grid and sends it through the chain,
// rebuilding the chain first when the picture's properties changed.
bool filter_and_encode(video_path& path, source_input& source, hls_muxer& muxer,
                       AVFrame* picture) {
  const double seconds =
      seconds_since(picture->best_effort_timestamp, source.video_stream->time_base, source.origin);
  const int64_t slot = place_picture(path.clock, seconds);
  if (slot == AV_NOPTS_VALUE) {
    return true;  // a picture too many for 30 per second
  }
  const picture_format format =
      picture_format_of(picture, source.video_stream, path.interlaced_source);
  path.interlaced_source = format.interlaced;
  if (path.chain.source == nullptr || !(format == path.chain_format)) {
    if (!drain_chain(path, muxer) || !build_video_chain(path, format, grid_time_base)) {
      return false;
    }
  }
  picture->pts = slot;
  if (av_buffersrc_add_frame_flags(path.chain.source, picture, 0) < 0) {
    return false;
  }
  return encode_chain_output(path, muxer);
}

}  // namespace

bool decode_video_packet(video_path& path, source_input& source, hls_muxer& muxer) {
  if (avcodec_send_packet(path.decoder.get(), source.packet.get()) < 0) {
    return true;  // a packet the decoder refuses is skipped
  }
  return receive_decoded_frames(path.decoder.get(), path.decoded.get(), [&](AVFrame* picture) {
    return filter_and_encode(path, source, muxer, picture);
  });
}

void flush_video_pictures(video_path& path, source_input& source, hls_muxer& muxer) {
  avcodec_send_packet(path.decoder.get(), nullptr);
  receive_decoded_frames(path.decoder.get(), path.decoded.get(), [&](AVFrame* picture) {
    filter_and_encode(path, source, muxer, picture);
    return true;
  });
  drain_chain(path, muxer);
}

void finish_video(video_path& path, hls_muxer& muxer, double end_seconds) {
  if (has_pictures(path) && std::isfinite(end_seconds)) {
    // Video that ends before the sound keeps its last picture on screen, so
    // the playlist covers all of the media. Sound that outlasts the pictures
    // by less than one (an AAC frame's padding) adds none.
    const double end_slot = end_seconds / av_q2d(grid_time_base) - 1;
    AVFrame* repeat = path.filtered.get();
    if (static_cast<double>(path.clock.last_slot + 1) < end_slot) {
      path.picture_duration = grid_time_base;
    }
    while (static_cast<double>(path.clock.last_slot + 1) < end_slot) {
      if (av_frame_ref(repeat, path.last_picture.get()) < 0) {
        break;
      }
      repeat->pts = ++path.clock.last_slot;
      const bool encoded = encode_and_write(path.encoder.get(), muxer.context.get(),
                                            muxer.video_stream, repeat, muxer.packet.get(),
                                            path.picture_duration);
      av_frame_unref(repeat);
      if (!encoded) {
        break;
      }
    }
  }
  encode_and_write(path.encoder.get(), muxer.context.get(), muxer.video_stream, nullptr,
                   muxer.packet.get(), path.picture_duration);
}

bool has_pictures(const video_path& path) { return path.last_picture->buf[0] != nullptr; }

}  // namespace quorvane
