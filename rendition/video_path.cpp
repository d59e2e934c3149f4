#include "rendition/video_path.h"

#include <algorithm>
#include <cmath>

#include "hls/output_format.h"
#include "rendition/output_writing.h"
#include "rendition/video_chain.h"

namespace quorvane {

namespace {

// The longest stretch of the timeline one picture fills with nothing else
// playing: a pause in the pictures is bridged this far without sound, and
// the last picture lasts at most this long by its own interval. Longer
// pauses only last as long as the sound that plays through them.
constexpr int64_t max_unaccompanied_slots =
    max_bridged_seconds * grid_frame_rate.num / grid_frame_rate.den;


// True when a picture at `slot` opens a new keyframe interval; moves the
// next keyframe to the interval after it.
bool take_keyframe_slot(video_path& path, int64_t slot) {
  if (path.next_keyframe_slot == AV_NOPTS_VALUE) {
    path.next_keyframe_slot = slot;
  }
  if (slot < path.next_keyframe_slot) {
    return false;
  }
  const int64_t intervals = (slot - path.next_keyframe_slot) / keyframe_interval_slots + 1;
  path.next_keyframe_slot += intervals * keyframe_interval_slots;
  return true;
}

bool encode_picture(video_path& path, hls_muxer& muxer, AVFrame* picture, int64_t slot,
                    int64_t duration, bool keyframe) {
  picture->color_primaries = output_primaries;
  picture->color_trc = output_transfer;
  picture->colorspace = output_matrix;
  picture->color_range = output_range;
  // Keyframes follow the timeline, not the source's picture types.
  picture->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  picture->pts = slot;
  path.durations[slot] = duration;
  ++path.pictures_encoded;
  return encode_and_write(path.encoder.get(), muxer.context.get(), muxer.video_stream, picture,
                          muxer.packet.get(), &path.durations, &muxer.last_error);
}

// How a held picture is repeated until the next one: at the keyframe slots
// inside a pause, so that keyframes, and with them the segments, keep to the
// timeline; or at every slot, as the last picture is held to the end of the
// sound, so the video runs to the end of the media in every player.
enum class repeat_at { keyframe_slots, every_slot };

// Encodes the held picture, lasting until `until`, repeated on the way.
bool encode_held_until(video_path& path, hls_muxer& muxer, int64_t until, repeat_at repeats) {
  held_picture& held = path.held;
  if (held.picture->buf[0] == nullptr) {
    return true;
  }
  // Repeats stop where neither the sound nor the allowance reaches: a
  // crafted file's claimed hours stay one picture long, not hours of work.
  const int64_t repeats_until =
      std::max(held.slot + max_unaccompanied_slots, path.sound_reached_slot);
  for (;;) {
    // A keyframe lasts one slot. The muxer counts the last segment's EXTINF
    // from the durations of the pictures after the keyframe that opens it,
    // plus the first picture's duration in place of that keyframe's own;
    // with both one slot long, the sum is exact.
    const int64_t next_repeat = repeats == repeat_at::every_slot || held.keyframe
                                    ? held.slot + 1
                                    : path.next_keyframe_slot;
    const bool bridge = next_repeat < until && next_repeat < repeats_until;
    const int64_t end = bridge ? next_repeat : until;
    if (!encode_picture(path, muxer, held.picture.get(), held.slot, end - held.slot,
                        held.keyframe)) {
      return false;
    }
    if (!bridge) {
      break;
    }
    held.slot = end;
    held.keyframe = take_keyframe_slot(path, end);
  }
  av_frame_unref(held.picture.get());
  return true;
}

// Takes a picture out of the chain: the held one is encoded now that its
// duration is known, and this one is held in its place.
bool hold_picture(video_path& path, hls_muxer& muxer, AVFrame* picture) {
  // A chain may count time in its own unit: a deinterlacer that could give a
  // picture per field halves it.
  if (picture->pts == AV_NOPTS_VALUE) {
    return true;
  }
  const int64_t slot =
      av_rescale_q(picture->pts, av_buffersink_get_time_base(path.chain.sink), grid_time_base);
  held_picture& held = path.held;
  if (held.picture->buf[0] != nullptr && slot <= held.slot) {
    return true;  // no place on the grid left for it
  }
  if (!encode_held_until(path, muxer, slot, repeat_at::keyframe_slots)) {
    return false;
  }
  av_frame_move_ref(held.picture.get(), picture);
  held.slot = slot;
  held.keyframe = take_keyframe_slot(path, slot);
  return true;
}

bool encode_chain_output(video_path& path, hls_muxer& muxer) {
  return pull_filtered_frames(path.chain.sink, path.filtered.get(), [&](AVFrame* picture) {
    return hold_picture(path, muxer, picture);
  });
}

// Ends the current chain's input and takes what it still holds (the
// deinterlacer keeps one picture back).
bool drain_chain(video_path& path, hls_muxer& muxer) {
  if (path.chain.source == nullptr) {
    return true;
  }
  const int ended = av_buffersrc_add_frame_flags(path.chain.source, nullptr, 0);
  const bool drained =
      ended >= 0 ? encode_chain_output(path, muxer)
                 : failed_step(muxer.last_error, "flushing the picture chain", ended);
  path.chain = filter_chain{};
  return drained;
}

// Places one decoded picture on the grid and sends it through the chain,
// rebuilding the chain first when the picture's properties changed.
bool filter_and_encode(video_path& path, source_input& source, hls_muxer& muxer,
                       AVFrame* picture) {
  const double seconds =
      seconds_since(picture->best_effort_timestamp, source.video_stream->time_base, source.origin) -
      static_cast<double>(path.closed_slots) * av_q2d(grid_time_base);
  const int64_t previous_slot = path.clock.last_slot;
  int64_t slot = place_picture(path.clock, seconds);
  if (slot == AV_NOPTS_VALUE) {
    return true;  // a picture too many for 30 per second
  }
  // A jump forward that nothing plays through, which the packets' own
  // timestamps did not show (the decoder's picture times can differ from
  // them), is closed here too: the picture follows the one before.
  if (previous_slot != AV_NOPTS_VALUE &&
      slot > std::max(previous_slot, path.sound_reached_slot) + max_unaccompanied_slots) {
    path.closed_slots += slot - (previous_slot + 1);
    slot = previous_slot + 1;
    path.clock = picture_clock{};
    path.clock.last_slot = slot;
  }
  const picture_format format =
      picture_format_of(picture, source.video_stream, path.interlaced_source);
  path.interlaced_source = format.interlaced;
  if (path.chain.source == nullptr || !(format == path.chain_format)) {
    if (!drain_chain(path, muxer)) {
      return false;
    }
    const int built = build_video_chain(path, format, grid_time_base);
    if (built < 0) {
      return failed_step(muxer.last_error, "building the picture chain", built);
    }
  }
  picture->pts = slot;
  const int fed = av_buffersrc_add_frame_flags(path.chain.source, picture, 0);
  if (fed < 0) {
    return failed_step(muxer.last_error, "feeding the picture chain", fed);
  }
  return encode_chain_output(path, muxer);
}

// Where the held picture's own time ends: one source picture interval on.
int64_t held_picture_end_slot(const video_path& path) {
  const double interval = av_q2d(path.picture_duration) / av_q2d(grid_time_base);
  return path.held.slot + std::clamp<int64_t>(std::llround(std::min(interval, 1e6)), 1,
                                              max_unaccompanied_slots);
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

bool flush_video_pictures(video_path& path, source_input& source, hls_muxer& muxer) {
  // An error here is the decoder's on a packet it still held, which is
  // skipped as in the read loop; the decoder drains all the same.
  avcodec_send_packet(path.decoder.get(), nullptr);
  return receive_decoded_frames(path.decoder.get(), path.decoded.get(),
                                [&](AVFrame* picture) {
                                  return filter_and_encode(path, source, muxer, picture);
                                }) &&
         drain_chain(path, muxer);
}

double video_end_seconds(const video_path& path) {
  if (path.held.picture->buf[0] == nullptr) {
    return 0;
  }
  return static_cast<double>(held_picture_end_slot(path)) * av_q2d(grid_time_base);
}

double encoded_video_seconds(const video_path& path) {
  if (path.held.picture->buf[0] == nullptr) {
    return 0;
  }
  return static_cast<double>(path.held.slot) * av_q2d(grid_time_base);
}

bool finish_video(video_path& path, hls_muxer& muxer, double end_seconds) {
  if (path.held.picture->buf[0] != nullptr) {
    // The last picture stays on screen until the media ends: its own
    // interval, or the end of a longer sound. Sound that outlasts it by less
    // than a slot (an AAC frame's padding) adds nothing.
    int64_t end_slot = held_picture_end_slot(path);
    if (std::isfinite(end_seconds) && end_seconds < 1e9) {
      const double sound_end_slot = end_seconds / av_q2d(grid_time_base);
      end_slot = std::max(end_slot, static_cast<int64_t>(std::ceil(sound_end_slot - 1)));
    }
    if (!encode_held_until(path, muxer, end_slot, repeat_at::every_slot)) {
      return false;
    }
  }
  return encode_and_write(path.encoder.get(), muxer.context.get(), muxer.video_stream, nullptr,
                          muxer.packet.get(), &path.durations, &muxer.last_error);
}

bool has_pictures(const video_path& path) { return path.pictures_encoded > 0; }

}  // namespace quorvane
