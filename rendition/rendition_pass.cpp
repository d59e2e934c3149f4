#include "rendition/rendition_pass.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "hls/output_format.h"
#include "rendition/media_timeline.h"
#include "rendition/output_writing.h"
#include "rendition/sound_maker.h"
#include "rendition/video_path.h"

namespace quorvane {

namespace {

// Sound packets held at most, waiting for a picture packet: some seconds
// of sound in any container.
constexpr size_t max_held_sound = 512;

double samples_seconds(int64_t samples) {
  return static_cast<double>(samples) / output_sample_rate;
}

// Makes one step of the sound here: its packets into `step`, what it tells
// into the path's progress.
bool make_step(rendition_pipeline& pipeline, sound_event event, AVPacket* packet,
               sound_step& step) {
  sound_path& sound = pipeline.sound;
  media_error& error = pipeline.muxer.last_error;
  const bool with_sound = pipeline.source.audio_stream != nullptr;
  bool made = true;
  switch (event) {
    case sound_event::packet:
      made = make_sound_packet(sound, pipeline.source, packet, step, error);
      break;
    case sound_event::silence:
      made = make_silence(sound, encoded_video_seconds(pipeline.video), false, step, error);
      break;
    case sound_event::tail:
      made = with_sound ? make_sound_tail(sound, pipeline.source, step, error)
                        : make_silence(sound, video_end_seconds(pipeline.video), true, step, error);
      break;
    case sound_event::drain:
      made = drain_sound_encoder(sound, step, error);
      break;
  }
  ++sound.progress.steps;
  step.event = event;
  step.progress = sound.progress;
  return made;
}

// The next step of the ladder's sound at `event`: made here or taken from
// the track; its packets go where the pass sends them.
step_result sound_step_at(rendition_pipeline& pipeline, sound_event event, const char* step_name,
                          AVPacket* packet = nullptr) {
  sound_path& sound = pipeline.sound;
  std::shared_ptr<const sound_step> step;
  if (sound.origin == sound_origin::taken) {
    step = sound.reader->take(sound.track_failure);
    if (!step) {
      return sound.track_failure;
    }
    if (step->event != event || step->progress.steps != sound.progress.steps + 1) {
      return step_failure{"taking the sound", "the sound track does not follow this file"};
    }
    sound.progress = step->progress;
  } else {
    auto made = std::make_shared<sound_step>();
    if (!make_step(pipeline, event, packet, *made)) {
      return encoding_failure(step_name, pipeline);
    }
    step = std::move(made);
  }
  if (sound.output && !sound.output(step, pipeline.muxer.last_error)) {
    return encoding_failure(step_name, pipeline);
  }
  return std::nullopt;
}

// Tells the picture path how far the sound plays on the pictures' timeline:
// as far as it was decoded, when it started no more than a few seconds past
// the pictures; a sound track that starts far away from them covers nothing.
// Pictures that have stopped coming follow the sound.
bool note_sound_reach(rendition_pipeline& pipeline) {
  video_path& video = pipeline.video;
  const sound_progress& sound = pipeline.sound.progress;
  if (samples_seconds(sound.first_pts) > encoded_video_seconds(video) + max_bridged_seconds) {
    return true;
  }
  video.timeline.sound_reached_slot = slot_at(sound.decoded_end_seconds);
  return follow_sound(video, pipeline.muxer, sound.decoded_end_seconds);
}

// One sound packet of the source, placed on the timeline. Carried only,
// its timestamps take their place and nothing else happens.
step_result route_sound(rendition_pipeline& pipeline, AVPacket* packet,
                        bool new_recording_allowed, bool carry_only) {
  source_input& source = pipeline.source;
  keep_timestamps_continuous(source.continuity, packet, source.audio_stream, 1,
                             new_recording_allowed);
  if (carry_only) {
    return std::nullopt;
  }
  if (step_result failed = sound_step_at(pipeline, sound_event::packet, "encoding the sound", packet)) {
    return failed;
  }
  if (!note_sound_reach(pipeline)) {
    return encoding_failure("encoding the pictures", pipeline);
  }
  return std::nullopt;
}

// The held sound, in order. Where the pictures jumped back too, the offset
// has moved and the sound continues; where they went on, the sound's jump
// back is a repeat, which the loudness chain trims. Sound held for long
// (the pictures stopped, or the file ended) starts a new recording.
step_result release_held_sound(rendition_pipeline& pipeline, bool pictures_decided,
                               bool carry_only = false) {
  std::deque<packet_ptr>& held = pipeline.source.held_sound;
  while (!held.empty()) {
    const packet_ptr packet = std::move(held.front());
    held.pop_front();
    if (step_result failed =
            route_sound(pipeline, packet.get(), !pictures_decided, carry_only)) {
      return failed;
    }
  }
  return std::nullopt;
}

// Holds a sound packet whose timestamp jumps back while the pictures go on,
// and those after it, until a picture packet says which it is. False when
// the packet is routed now.
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

}  // namespace

step_result route_packet(rendition_pipeline& pipeline, bool is_video, bool carry_only) {
  source_input& source = pipeline.source;
  AVPacket* packet = source.packet.get();
  if (!is_video) {
    if (!hold_sound(source, packet)) {
      return route_sound(pipeline, packet, true, carry_only);
    }
    return source.held_sound.size() >= max_held_sound
               ? release_held_sound(pipeline, false, carry_only)
               : std::nullopt;
  }
  keep_timestamps_continuous(source.continuity, packet, source.video_stream, 0);
  if (carry_only) {
    return release_held_sound(pipeline, true, true);
  }
  // A window whose pictures are all encoded only waits for its sound:
  // pictures past it are not decoded.
  video_path& video = pipeline.video;
  const bool decoded = video.use != picture_use::skipped && !pipeline.muxer.window.pictures_done;
  if (decoded && !decode_video_packet(video, source, pipeline.muxer)) {
    return encoding_failure("encoding the pictures", pipeline);
  }
  // A source without sound gets silence as long as its pictures.
  if (source.audio_stream == nullptr) {
    if (step_result failed = sound_step_at(pipeline, sound_event::silence, "encoding the pictures")) {
      return failed;
    }
  }
  return release_held_sound(pipeline, true);
}

void note_sound_packets(window_admission& window, const sound_step& step) {
  for (const packet_ptr& packet : step.packets) {
    admits_sound_packet(window, step.progress.first_pts, packet->pts);
  }
}

step_failure encoding_failure(const char* step, const rendition_pipeline& pipeline) {
  return media_failure(step, pipeline.muxer.last_error);
}

step_result open_pipeline(rendition_pipeline& pipeline, const std::string& input,
                          const pass_plan& plan) {
  if (step_result failed =
          open_source(pipeline.source, pipeline.video, pipeline.sound, input, plan)) {
    return failed;
  }
  video_path& video = pipeline.video;
  codec_context_ptr* video_encoder = video.use != picture_use::skipped ? &video.encoder : nullptr;
  if (step_result failed =
          open_encoders(video_encoder, pipeline.sound.encoder, plan.width, plan.height, 0)) {
    return failed;
  }
  return prepare_paths(pipeline.source, video, pipeline.sound);
}

timeline_state current_timeline(const rendition_pipeline& pipeline) {
  return timeline_state{pipeline.source.continuity.state, pipeline.video.timeline,
                        pipeline.sound.progress};
}

void restore_timeline(rendition_pipeline& pipeline, const timeline_state& state) {
  pipeline.source.continuity.state = state.continuity;
  pipeline.video.timeline = state.pictures;
  pipeline.sound.progress = state.sound;
}

step_result read_input(rendition_pipeline& pipeline, const read_policies& policies) {
  source_input& source = pipeline.source;
  AVPacket* packet = source.packet.get();
  int64_t index = 0;  // packets of the two streams read
  while (!window_done(pipeline.muxer.window) && av_read_frame(source.context.get(), packet) >= 0) {
    const packet_unref_guard read(packet);
    const bool is_video = packet->stream_index == source.video_stream->index;
    if (!is_video && (source.audio_stream == nullptr ||
                      packet->stream_index != source.audio_stream->index)) {
      continue;
    }
    const int64_t at = index++;
    if (policies.warm) {
      bool taken = false;
      if (step_result failed = policies.warm(at, is_video, taken)) {
        return failed;
      }
      if (taken) {
        continue;
      }
    }
    if (policies.before) {
      policies.before(at);
    }
    if (step_result failed = route_packet(pipeline, is_video, false)) {
      return failed;
    }
    if (policies.after) {
      if (step_result failed = policies.after(at, is_video)) {
        return failed;
      }
    }
  }
  return release_held_sound(pipeline, false);
}

step_result finish_media(rendition_pipeline& pipeline) {
  video_path& video = pipeline.video;
  const bool pictures = video.use != picture_use::skipped;
  if (pictures && !flush_video_pictures(video, pipeline.source, pipeline.muxer)) {
    return encoding_failure("encoding the last pictures", pipeline);
  }
  if (step_result failed =
          sound_step_at(pipeline, sound_event::tail, "encoding the end of the sound")) {
    return failed;
  }
  // The last picture is held while sound plays on, but only for as much
  // sound as there is: a sound track placed hours away is not bridged.
  const sound_progress& sound = pipeline.sound.progress;
  const double media_end =
      std::min(samples_seconds(sound.next_pts),
               video_end_seconds(video) + samples_seconds(sound.next_pts - sound.first_pts));
  video.timeline.sound_reached_slot = slot_at(media_end);
  if (pictures && !finish_video(video, pipeline.muxer, media_end)) {
    return encoding_failure("encoding the last pictures", pipeline);
  }
  return sound_step_at(pipeline, sound_event::drain, "encoding the end of the sound");
}

}  // namespace quorvane
