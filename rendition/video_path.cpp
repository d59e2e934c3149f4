#include "rendition/video_path.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "hls/output_format.h"
#include "rendition/media_timeline.h"
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

// MPEG-TS players expect a clock reference at least every 100 ms of the
// timeline, and the muxer writes one with each video packet: a held picture
// is repeated at least every 3 slots.
constexpr int64_t max_picture_gap_slots = 3;

// A video stream with no packet for this long while its sound plays on has
// gone quiet (or ended); its held picture then follows the sound this far
// behind, which leaves room for a picture the file stores late.
constexpr double quiet_seconds = max_bridged_seconds;

// True when a picture at `slot` opens a new keyframe interval; moves the
// next keyframe to the interval after it.
bool take_keyframe_slot(video_path& path, int64_t slot) {
  if (path.timeline.next_keyframe_slot == AV_NOPTS_VALUE) {
    path.timeline.next_keyframe_slot = slot;
  }
  if (slot < path.timeline.next_keyframe_slot) {
    return false;
  }
  const int64_t intervals = (slot - path.timeline.next_keyframe_slot) / keyframe_interval_slots + 1;
  path.timeline.next_keyframe_slot += intervals * keyframe_interval_slots;
  return true;
}

// A picture for the rungs to encode at `slot`, lasting `duration` slots.
bool hand_over_picture(video_path& path, hls_muxer& muxer, AVFrame* picture, int64_t slot,
                       int64_t duration, bool keyframe) {
  ++path.timeline.pictures_encoded;
  window_admission& window = muxer.window;
  if (!admits_picture(window, slot)) {
    return true;  // outside the part of the timeline encoded
  }
  // A window's segments must start as the call's do: its first picture
  // written opens a keyframe interval.
  if (!window.keyframe_checked && !starts_with_media(window) && writes_picture(window, slot)) {
    window.keyframe_checked = true;
    if (!keyframe) {
      muxer.last_error = media_error{AVERROR_INVALIDDATA, false, "starting the window",
                                     "its first picture does not open a keyframe interval"};
      return false;
    }
  }
  if (path.rungs == nullptr) {
    return true;
  }
  size_t weight = 0;  // a copy of the held picture adds no picture in flight
  if (!path.handed) {
    weight = picture_weight(picture);
    auto prepared = std::make_shared<prepared_picture>();
    prepared->frame.reset(av_frame_clone(picture));
    if (!prepared->frame) {
      return failed_step(muxer.last_error, "handing the pictures over", AVERROR(ENOMEM));
    }
    prepared->format = path.held_format;
    prepared->clockwise_rotation = path.clockwise_rotation;
    path.handed = std::move(prepared);
  }
  auto event = std::make_shared<rung_event>();
  event->kind = rung_event_kind::picture;
  event->picture = path.handed;
  event->slot = slot;
  event->duration = duration;
  event->keyframe = keyframe;
  if (!path.rungs->add(std::move(event), weight)) {
    muxer.last_error = media_error{0, false, "handing the pictures over", "no rung takes them any more"};
    return false;
  }
  return true;
}

// A new picture is held: the one handed over before is not it.
void hold_new(video_path& path, AVFrame* picture) {
  av_frame_unref(path.held.get());
  av_frame_move_ref(path.held.get(), picture);
  path.held_format = path.chain_output_format;
  path.handed.reset();
}

// Where the held picture's next copy starts, when nothing comes first.
int64_t next_copy_slot(const video_path& path) {
  const held_place& held = path.timeline.held;
  // A keyframe lasts one slot. The muxer counts the last segment's EXTINF
  // from the durations of the pictures after the keyframe that opens it,
  // plus the first picture's duration in place of that keyframe's own;
  // with both one slot long, the sum is exact. The first pictures last one
  // slot too: their spacing sets how far the encoder's decoding times run
  // ahead of the pictures, which the muxer's offset covers.
  if (held.keyframe || path.timeline.pictures_encoded < path.encoder->has_b_frames) {
    return held.slot + 1;
  }
  return std::min(held.slot + max_picture_gap_slots, path.timeline.next_keyframe_slot);
}

// Encodes the held picture's copies that start before `until`, each lasting
// to the next; the last copy stays held, its end still open. Copies stop
// where neither the sound nor the allowance reaches: a crafted file's
// claimed hours stay one picture long, not hours of work.
bool advance_held(video_path& path, hls_muxer& muxer, int64_t until) {
  held_place& held = path.timeline.held;
  const int64_t repeats_until =
      std::max(held.picture_slot + max_unaccompanied_slots, path.timeline.sound_reached_slot);
  for (;;) {
    const int64_t next = next_copy_slot(path);
    if (next >= until || next >= repeats_until) {
      return true;
    }
    if (!hand_over_picture(path, muxer, path.held.get(), held.slot, next - held.slot,
                        held.keyframe)) {
      return false;
    }
    held.slot = next;
    held.keyframe = take_keyframe_slot(path, next);
    held.repeat = true;
  }
}

// Encodes the held picture, lasting until `until`, repeated on the way.
bool release_held(video_path& path, hls_muxer& muxer, int64_t until) {
  held_place& held = path.timeline.held;
  if (!held.holding) {
    return true;
  }
  if (!advance_held(path, muxer, until) ||
      !hand_over_picture(path, muxer, path.held.get(), held.slot, until - held.slot,
                      held.keyframe)) {
    return false;
  }
  av_frame_unref(path.held.get());
  path.handed.reset();
  held.holding = false;
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
  path.timeline.chain_output_slot = slot;
  std::map<int64_t, int64_t>& chain_sources = path.timeline.chain_sources;
  const auto source = chain_sources.find(slot);
  const int64_t source_pts = source != chain_sources.end() ? source->second : AV_NOPTS_VALUE;
  chain_sources.erase(chain_sources.begin(), chain_sources.upper_bound(slot));
  held_place& held = path.timeline.held;
  const bool holding = held.holding;
  if (holding && slot <= held.slot) {
    if (!held.repeat) {
      return true;  // no place on the grid left for it
    }
    // The held copy only filled time the stream seemed to have left: a
    // picture stored late takes its place rather than being lost.
    hold_new(path, picture);
    held.picture_slot = slot;
    held.repeat = false;
    held.source_pts = source_pts;
    return true;
  }
  if (!release_held(path, muxer, slot)) {
    return false;
  }
  // The timeline starts where the media starts: the first picture is shown
  // from there, as the last one is shown until the media ends, when sound
  // plays before it (or it comes at most the allowance late).
  const bool lead_in = !holding && path.timeline.pictures_encoded == 0 &&
                       slot <= std::max<int64_t>(path.timeline.sound_reached_slot, 0) +
                                   max_unaccompanied_slots;
  hold_new(path, picture);
  held.holding = true;
  held.slot = lead_in ? 0 : slot;
  held.picture_slot = slot;
  held.keyframe = take_keyframe_slot(path, held.slot);
  held.repeat = false;
  held.source_pts = source_pts;
  return true;
}

// Pulls the chain's pictures into `use`, each mapped to SDR first when the
// chain leaves that to the tone map.
template <typename Use>
int pull_prepared_pictures(video_path& path, hls_muxer& muxer, Use&& use) {
  return pull_filtered_frames(path.chain.sink, path.filtered.get(), [&](AVFrame* picture) {
    if (!path.tone_map) {
      return use(picture);
    }
    const int mapped = tone_map_picture(*path.tone_map, picture, path.mapped.get());
    if (mapped < 0) {
      return failed_step(muxer.last_error, "mapping HDR to SDR", mapped);
    }
    const bool used = use(path.mapped.get());
    av_frame_unref(path.mapped.get());
    return used;
  });
}

bool encode_chain_output(video_path& path, hls_muxer& muxer) {
  const int pulled = pull_prepared_pictures(path, muxer, [&](AVFrame* picture) {
    return hold_picture(path, muxer, picture);
  });
  return pulled < 0 ? failed_step(muxer.last_error, "filtering the pictures", pulled)
                    : pulled != frame_not_used;
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
  path.timeline.chain_sources.clear();
  return drained;
}

// Makes the chain fit `picture`: when its properties differ from what the
// chain was built for, the chain gives up what it holds and is built anew.
bool chain_for(video_path& path, const source_input& source, hls_muxer& muxer,
               const AVFrame* picture) {
  const picture_format format =
      picture_format_of(picture, source.video_stream, path.timeline.interlaced_source);
  path.timeline.interlaced_source = format.interlaced;
  if (path.chain.source != nullptr && format == path.chain_format) {
    return true;
  }
  if (!drain_chain(path, muxer)) {
    return false;
  }
  const int built = build_video_chain(path, format, grid_time_base);
  return built >= 0 || failed_step(muxer.last_error, "building the picture chain", built);
}

// Places one decoded picture on the grid and sends it through the chain.
bool filter_and_encode(video_path& path, source_input& source, hls_muxer& muxer,
                       AVFrame* picture) {
  const double seconds =
      seconds_since(picture->best_effort_timestamp, source.video_stream->time_base, source.origin) -
      static_cast<double>(path.timeline.closed_slots) * av_q2d(grid_time_base);
  if (!std::isnan(seconds)) {
    path.timeline.undecoded_seconds.erase(path.timeline.undecoded_seconds.begin(),
                                 path.timeline.undecoded_seconds.upper_bound(seconds + 1e-6));
  }
  const int64_t previous_slot = path.timeline.clock.last_slot;
  int64_t slot = place_picture(path.timeline.clock, seconds);
  if (slot == AV_NOPTS_VALUE) {
    return true;  // a picture too many for 30 per second
  }
  // A jump forward that nothing plays through, which the packets' own
  // timestamps did not show (the decoder's picture times can differ from
  // them), is closed here too: the picture follows the one before.
  if (previous_slot != AV_NOPTS_VALUE &&
      slot > std::max(previous_slot, path.timeline.sound_reached_slot) + max_unaccompanied_slots) {
    path.timeline.closed_slots += slot - (previous_slot + 1);
    slot = previous_slot + 1;
    path.timeline.clock = picture_clock{};
    path.timeline.clock.last_slot = slot;
  }
  if (!chain_for(path, source, muxer, picture)) {
    return false;
  }
  path.timeline.chain_sources[slot] = picture->best_effort_timestamp;
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
  return std::max(path.timeline.held.slot + 1,
                  path.timeline.held.picture_slot + std::clamp<int64_t>(std::llround(std::min(interval, 1e6)),
                                                               1, max_unaccompanied_slots));
}

// Notes a video packet on its way to the decoder: how far the stream has
// come, and a picture that is still to come out.
void note_video_packet(video_path& path, const source_input& source) {
  const AVPacket* packet = source.packet.get();
  const double closed = static_cast<double>(path.timeline.closed_slots) * av_q2d(grid_time_base);
  const int64_t stamp = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
  const double reached = seconds_since(stamp, source.video_stream->time_base, source.origin);
  if (std::isfinite(reached)) {
    path.timeline.last_packet_seconds = std::max(path.timeline.last_packet_seconds, reached - closed);
  }
  const double shown = seconds_since(packet->pts, source.video_stream->time_base, source.origin);
  if (std::isfinite(shown)) {
    path.timeline.undecoded_seconds.insert(shown - closed);
    // A picture the decoder kept back this long is not coming.
    if (path.timeline.undecoded_seconds.size() > max_undecoded_pictures) {
      path.timeline.undecoded_seconds.erase(path.timeline.undecoded_seconds.begin());
    }
  }
}

}  // namespace

bool decode_video_packet(video_path& path, source_input& source, hls_muxer& muxer) {
  if (avcodec_send_packet(path.decoder.get(), source.packet.get()) < 0) {
    return true;  // a packet the decoder refuses is skipped
  }
  note_video_packet(path, source);
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
  if (!path.timeline.held.holding) {
    return 0;
  }
  return static_cast<double>(held_picture_end_slot(path)) * av_q2d(grid_time_base);
}

double encoded_video_seconds(const video_path& path) {
  if (!path.timeline.held.holding) {
    return 0;
  }
  return static_cast<double>(path.timeline.held.slot) * av_q2d(grid_time_base);
}

bool follow_sound(video_path& path, hls_muxer& muxer, double sound_seconds) {
  const held_place& held = path.timeline.held;
  // Not while a picture is inside the chain: it comes next.
  if (!held.holding || path.timeline.clock.last_slot > path.timeline.chain_output_slot) {
    return true;
  }
  double until = sound_seconds;
  if (!path.single_picture) {
    if (!(sound_seconds > path.timeline.last_packet_seconds + quiet_seconds)) {
      return true;
    }
    until = sound_seconds - quiet_seconds;
  }
  if (!path.timeline.undecoded_seconds.empty()) {
    until = std::min(until, *path.timeline.undecoded_seconds.begin());
  }
  // A picture may land up to a slot before its own time.
  const int64_t until_slot = slot_at(until) - 1;
  return until_slot <= held.slot || advance_held(path, muxer, until_slot);
}

bool finish_video(video_path& path, hls_muxer& muxer, double end_seconds) {
  if (path.timeline.held.holding) {
    // The last picture stays on screen until the media ends: its own
    // interval, or the end of a longer sound. Sound that outlasts it by less
    // than a slot (an AAC frame's padding) adds nothing.
    int64_t end_slot = held_picture_end_slot(path);
    if (std::isfinite(end_seconds) && end_seconds < 1e9) {
      const double sound_end_slot = end_seconds / av_q2d(grid_time_base);
      end_slot = std::max(end_slot, static_cast<int64_t>(std::ceil(sound_end_slot - 1)));
    }
    if (!release_held(path, muxer, end_slot)) {
      return false;
    }
  }
  return hand_over_drain(path, muxer);
}

bool hand_over_drain(video_path& path, hls_muxer& muxer) {
  if (path.rungs == nullptr) {
    return true;
  }
  auto event = std::make_shared<rung_event>();
  event->kind = rung_event_kind::drain;
  if (!path.rungs->add(std::move(event))) {
    muxer.last_error = media_error{0, false, "handing the pictures over", "no rung takes them any more"};
    return false;
  }
  return true;
}

bool has_pictures(const video_path& path) { return path.timeline.pictures_encoded > 0; }

bool decode_needed_pictures(video_path& path, const source_input& source,
                            const std::vector<int64_t>& needed, decoded_pictures& kept) {
  if (avcodec_send_packet(path.decoder.get(), source.packet.get()) < 0) {
    return true;  // skipped, as in the read loop
  }
  return receive_decoded_frames(path.decoder.get(), path.decoded.get(), [&](AVFrame* picture) {
    const int64_t own = picture->best_effort_timestamp;
    if (std::find(needed.begin(), needed.end(), own) == needed.end()) {
      return true;
    }
    frame_ptr copy(av_frame_clone(picture));
    if (!copy) {
      return false;
    }
    kept[own] = std::move(copy);
    return true;
  });
}

namespace {

constexpr const char* resume_step = "resuming the pictures where the window starts";

// The decoded picture with timestamp `own`, fed to the chain at `slot`.
bool feed_kept(video_path& path, const source_input& source, hls_muxer& muxer,
               decoded_pictures& kept, int64_t own, int64_t slot) {
  const auto found = kept.find(own);
  if (found == kept.end()) {
    muxer.last_error = media_error{AVERROR_INVALIDDATA, false, resume_step,
                                   "a picture the resume state refers to was not decoded"};
    return false;
  }
  AVFrame* picture = found->second.get();
  if (!chain_for(path, source, muxer, picture)) {
    return false;
  }
  picture->pts = slot;
  const int fed = av_buffersrc_add_frame_flags(path.chain.source, picture, AV_BUFFERSRC_FLAG_KEEP_REF);
  return fed >= 0 || failed_step(muxer.last_error, resume_step, fed);
}

}  // namespace

bool resume_pictures(video_path& path, const source_input& source, hls_muxer& muxer,
                     decoded_pictures& kept) {
  const held_place& held = path.timeline.held;
  if (held.holding) {
    // The held picture as the chain gave it out: through a chain of its own,
    // ended at once, so that a deinterlacer gives its picture up.
    if (!feed_kept(path, source, muxer, kept, held.source_pts, held.picture_slot)) {
      return false;
    }
    const int ended = av_buffersrc_add_frame_flags(path.chain.source, nullptr, 0);
    if (ended < 0) {
      return failed_step(muxer.last_error, resume_step, ended);
    }
    const int pulled = pull_prepared_pictures(path, muxer, [&](AVFrame* out) {
      hold_new(path, out);
      return true;
    });
    path.chain = filter_chain{};
    if (pulled == frame_not_used) {
      return false;  // the map failed, and said why
    }
    if (pulled < 0 || path.held->buf[0] == nullptr) {
      return failed_step(muxer.last_error, resume_step, pulled < 0 ? pulled : AVERROR_INVALIDDATA);
    }
  }
  // Pictures that were inside the chain go through it again.
  const std::map<int64_t, int64_t> inside = path.timeline.chain_sources;
  for (const auto& [slot, own] : inside) {
    if (!feed_kept(path, source, muxer, kept, own, slot)) {
      return false;
    }
  }
  return true;
}

}  // namespace quorvane
