#include "rendition/rung_encoder.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "hls/playlist_check.h"
#include "rendition/output_writing.h"
#include "rendition/rendition_setup.h"
#include "rendition/video_chain.h"

namespace quorvane {

namespace {

// Everything one rung holds, released in reverse order on every way out:
// the chain and frames, then the encoders, then the muxer and its files.
struct rung_encoder {
  hls_muxer muxer;
  codec_context_ptr video_encoder;
  codec_context_ptr audio_encoder;  // the sound stream's parameters; the sound comes made
  filter_chain chain;
  picture_format chain_format;  // what `chain` was built for
  int chain_rotation = 0;
  // The last picture scaled, and what it was scaled from: a held picture's
  // copies are scaled once.
  std::shared_ptr<const prepared_picture> scaled_from;
  frame_ptr scaled;
  picture_durations durations;  // of the pictures the encoder still holds
  int64_t pictures = 0;         // pictures given to the encoder
};

step_result open_rung(rung_encoder& rung, const rung_plan& plan) {
  rung.muxer.window.first_slot = plan.first_slot;
  rung.muxer.window.end_slot = plan.end_slot;
  if (step_result failed = open_encoders(&rung.video_encoder, rung.audio_encoder, plan.width,
                                         plan.height, plan.bitrate)) {
    return failed;
  }
  if (step_result failed = open_muxer(rung.muxer, rung.video_encoder.get(),
                                      rung.audio_encoder.get(), plan.playlist, plan.key)) {
    return failed;
  }
  rung.muxer.packet.reset(av_packet_alloc());
  rung.scaled.reset(av_frame_alloc());
  if (!rung.muxer.packet || !rung.scaled) {
    return ffmpeg_failure("allocating packets and frames", AVERROR(ENOMEM));
  }
  return std::nullopt;
}

const char* event_step(const rung_event& event) {
  switch (event.kind) {
    case rung_event_kind::sound:
      return "encoding the sound";
    case rung_event_kind::drain:
      return "encoding the last pictures";
    default:
      return "encoding the pictures";
  }
}

// `prepared` scaled into the rung's frame, in `rung.scaled`.
bool scale_picture(rung_encoder& rung, const std::shared_ptr<const prepared_picture>& prepared) {
  if (prepared == rung.scaled_from) {
    return true;
  }
  media_error& error = rung.muxer.last_error;
  if (rung.chain.source == nullptr || !(prepared->format == rung.chain_format) ||
      prepared->clockwise_rotation != rung.chain_rotation) {
    const int built =
        build_rung_chain(rung.chain, prepared->format, prepared->clockwise_rotation,
                         rung.video_encoder->width, rung.video_encoder->height);
    if (built < 0) {
      return failed_step(error, "building the picture chain", built);
    }
    rung.chain_format = prepared->format;
    rung.chain_rotation = prepared->clockwise_rotation;
  }
  rung.scaled_from.reset();
  av_frame_unref(rung.scaled.get());
  const int fed =
      av_buffersrc_add_frame_flags(rung.chain.source, prepared->frame.get(), AV_BUFFERSRC_FLAG_KEEP_REF);
  if (fed < 0) {
    return failed_step(error, "feeding the picture chain", fed);
  }
  // Every step of a rung's chain gives one picture for one picture.
  const int pulled = av_buffersink_get_frame(rung.chain.sink, rung.scaled.get());
  if (pulled < 0) {
    return failed_step(error, "filtering the pictures", pulled);
  }
  rung.scaled_from = prepared;
  return true;
}

bool encode_picture(rung_encoder& rung, const rung_event& event) {
  if (!scale_picture(rung, event.picture)) {
    return false;
  }
  AVFrame* picture = rung.scaled.get();
  picture->color_primaries = output_primaries;
  picture->color_trc = output_transfer;
  picture->colorspace = output_matrix;
  picture->color_range = output_range;
  // Keyframes follow the timeline, not the source's picture types.
  picture->pict_type = event.keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  picture->pts = event.slot;
  rung.durations[event.slot] = event.duration;
  ++rung.pictures;
  return encode_and_write(rung.video_encoder.get(), rung.muxer, picture, &rung.durations);
}

bool write_sound(rung_encoder& rung, const sound_step& step) {
  for (const packet_ptr& packet : step.packets) {
    if (!write_sound_packet(rung.muxer, packet.get(), step.progress.first_pts)) {
      return false;
    }
  }
  return true;
}

// Encodes and writes `event`. False, with the reason in the muxer's error.
bool encode_event(rung_encoder& rung, const rung_event& event) {
  switch (event.kind) {
    case rung_event_kind::picture:
      return encode_picture(rung, event);
    case rung_event_kind::sound:
      return write_sound(rung, *event.sound);
    case rung_event_kind::drain:
      return encode_and_write(rung.video_encoder.get(), rung.muxer, nullptr, &rung.durations);
    case rung_event_kind::end:
      return true;
  }
  return true;
}

// A segment the muxer could not write in full: the rendition is lost, and
// the rung stops at once rather than encode the rest for nothing.
step_result segment_lost(const rung_encoder& rung) {
  if (rung.muxer.close_watch.failed) {
    return step_failure{"writing the segments", "a segment file could not be written in full"};
  }
  return std::nullopt;
}

step_result finish_output(rung_encoder& rung, const std::string& playlist) {
  hls_muxer& muxer = rung.muxer;
  const int trailer = av_write_trailer(muxer.context.get());
  if (trailer < 0) {
    return ffmpeg_failure("finishing the output " + playlist, trailer);
  }
  if (rung.pictures == 0) {
    return step_failure{"decoding the pictures", "no picture of the source could be decoded"};
  }
  if (step_result lost = segment_lost(rung)) {
    return lost;
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

step_result run_rung(rung_encoder& rung, rung_reader& reader, const rung_plan& plan) {
  std::optional<step_failure> failure;
  // Nothing is written before the passes have made something: a source
  // they cannot open leaves no file.
  std::shared_ptr<const rung_event> event = reader.take(failure);
  if (!event) {
    return failure;
  }
  if (step_result failed = open_rung(rung, plan)) {
    return failed;
  }
  while (event->kind != rung_event_kind::end) {
    if (!encode_event(rung, *event)) {
      return media_failure(event_step(*event), rung.muxer.last_error);
    }
    if (step_result lost = segment_lost(rung)) {
      return lost;
    }
    event = reader.take(failure);
    if (!event) {
      return failure;
    }
  }
  reader.leave();
  return finish_output(rung, plan.playlist);
}

}  // namespace

rendition_outcome encode_rung(rung_reader& reader, const rung_plan& plan) {
  rung_encoder rung;
  rendition_outcome outcome;
  outcome.failure = run_rung(rung, reader, plan);
  reader.leave();
  if (rung.video_encoder) {
    outcome.video_codec = h264_codec_name(rung.video_encoder.get());
  }
  return outcome;
}

}  // namespace quorvane
