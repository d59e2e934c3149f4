#include "rendition/ladder_passes.h"

#include <exception>
#include <utility>
#include <vector>

#include "rendition/rendition_pass.h"
#include "rendition/video_path.h"

namespace quorvane {

namespace {

// The picture pass's H.264 encoder is asked only for its reorder delay,
// which does not depend on the frame: it is opened this small.
constexpr int32_t reorder_probe_width = 64;
constexpr int32_t reorder_probe_height = 36;

// A window before its resume point: packets only carried on (their
// timestamps placed as the read loop places them), pictures decoded from
// the keyframe the state asks for and those it refers to kept. At the
// resume point the state goes in place and the pass goes on as a rendition.
struct window_warm_up {
  rendition_pipeline& pipeline;
  const resume_point& point;
  std::vector<int64_t> needed;
  decoded_pictures kept;
  bool resumed = false;

  step_result take(int64_t index, bool is_video, bool& taken) {
    if (resumed) {
      return std::nullopt;
    }
    if (index < point.packet) {
      taken = true;
      if (step_result failed = route_packet(pipeline, is_video, true)) {
        return failed;
      }
      if (is_video && index >= point.video_from_packet &&
          !decode_needed_pictures(pipeline.video, pipeline.source, needed, kept)) {
        return ffmpeg_failure("resuming the pictures where the window starts", AVERROR(ENOMEM));
      }
      return std::nullopt;
    }
    return resume();
  }

  step_result resume() {
    if (!pipeline.source.held_sound.empty()) {
      return step_failure{"resuming where the window starts", "sound is held there"};
    }
    restore_timeline(pipeline, point.timeline);
    sound_path& sound = pipeline.sound;
    if (sound.origin == sound_origin::taken && sound.reader->next != sound.progress.steps) {
      return step_failure{"resuming where the window starts",
                          "its sound file does not start where the window does"};
    }
    if (!resume_pictures(pipeline.video, pipeline.source, pipeline.muxer, kept)) {
      return encoding_failure("resuming where the window starts", pipeline);
    }
    kept.clear();
    resumed = true;
    return std::nullopt;
  }
};

// Hands each sound step to the rungs, noting how far the sound has come.
step_output rungs_output(rendition_pipeline& pipeline, rung_handover& rungs) {
  return [&pipeline, &rungs](const std::shared_ptr<const sound_step>& step, media_error& error) {
    note_sound_packets(pipeline.muxer.window, *step);
    auto event = std::make_shared<rung_event>();
    event->kind = rung_event_kind::sound;
    event->sound = step;
    if (!rungs.add(std::move(event))) {
      error = media_error{0, false, "handing the sound over", "no rung takes it any more"};
      return false;
    }
    return true;
  };
}

step_result run_pictures(rendition_pipeline& pipeline, const std::string& input,
                         const rendition_window& window, track_reader& sound,
                         frame_box largest_frame, rung_handover& rungs) {
  pass_plan plan;
  plan.pictures = picture_use::encoded;
  plan.sound = sound_origin::taken;
  plan.width = reorder_probe_width;
  plan.height = reorder_probe_height;
  hls_muxer& muxer = pipeline.muxer;
  muxer.window.first_slot = window.first_slot;
  muxer.window.end_slot = window.end_slot;
  pipeline.sound.reader = &sound;
  pipeline.video.rungs = &rungs;
  pipeline.video.largest_frame = largest_frame;
  if (step_result failed = open_pipeline(pipeline, input, plan)) {
    return failed;
  }
  if (pipeline.sound.origin == sound_origin::made) {
    sound.leave();  // a source without sound: its silence is made here
  }
  muxer.window.pre_roll_slots = picture_pre_roll_slots(av_q2d(pipeline.video.picture_duration));
  pipeline.sound.output = rungs_output(pipeline, rungs);
  read_policies policies;
  std::optional<window_warm_up> warm_up;
  if (window.resume) {
    warm_up.emplace(window_warm_up{pipeline, *window.resume, pictures_needed(window.resume->timeline),
                                   {}, false});
    policies.warm = [&warm_up](int64_t index, bool is_video, bool& taken) {
      return warm_up->take(index, is_video, taken);
    };
  }
  if (step_result failed = read_input(pipeline, policies)) {
    return failed;
  }
  if (warm_up && !warm_up->resumed) {
    return step_failure{"resuming where the window starts", "the input ended before it"};
  }
  // A window that ends within the media has everything it writes: the
  // picture encoders give out what they still hold; its sound is all taken.
  if (window_done(muxer.window)) {
    if (!hand_over_drain(pipeline.video, muxer)) {
      return encoding_failure("encoding the last pictures", pipeline);
    }
  } else if (step_result failed = finish_media(pipeline)) {
    return failed;
  }
  // A source whose pictures all failed to decode would leave playlists of
  // sound and a video stream without a picture: players cannot use them.
  if (!has_pictures(pipeline.video)) {
    return step_failure{"decoding the pictures", "no picture of the source could be decoded"};
  }
  auto end = std::make_shared<rung_event>();
  end->kind = rung_event_kind::end;
  if (!rungs.add(std::move(end))) {
    return step_failure{"handing the pictures over", "no rung takes them any more"};
  }
  return std::nullopt;
}

// Ends `track` with what `body` gave, or with what it threw.
template <typename Track, typename Body>
void end_with(Track& track, const char* making, Body body) noexcept {
  try {
    step_result failed = body();
    if (failed) {
      track.fail(*failed);
    } else {
      track.finish();
    }
  } catch (const std::exception& error) {
    track.fail({making, std::string("it threw: ") + error.what()});
  } catch (...) {
    track.fail({making, "it threw an exception of unknown type"});
  }
}

// The sound pass itself.
step_result make_sound(const std::string& input, sound_track& track) {
  rendition_pipeline pipeline;
  pipeline.muxer.window.writes = false;
  pass_plan plan;
  plan.pictures = picture_use::skipped;
  plan.sound = sound_origin::made;
  if (step_result failed = open_pipeline(pipeline, input, plan)) {
    return failed;
  }
  if (pipeline.source.audio_stream == nullptr) {
    return std::nullopt;  // the picture pass makes silence for the pictures
  }
  pipeline.sound.output = [&track](const std::shared_ptr<const sound_step>& step,
                                   media_error& error) {
    if (!track.add(step)) {
      error = media_error{0, false, "handing the sound over", "nobody reads it any more"};
      return false;
    }
    return true;
  };
  if (step_result failed = read_input(pipeline, read_policies{})) {
    return failed;
  }
  return finish_media(pipeline);
}

}  // namespace

void make_ladder_pictures(const std::string& input, const rendition_window& window,
                          const ladder_sound_source& sound, frame_box largest_frame,
                          rung_handover& rungs) noexcept {
  end_with(rungs, "making the pictures", [&]() -> step_result {
    track_reader reader;  // leaves the sound track however the pass ends
    reader.join(*sound.track);
    sound.track->seal();
    rendition_pipeline pipeline;
    return run_pictures(pipeline, input, window, reader, largest_frame, rungs);
  });
}

void make_call_passes(const std::string& input, frame_box largest_frame,
                      rung_handover& rungs) noexcept {
  sound_track track;
  track_maker_thread sound_maker;  // joined first, once the picture pass has left its track
  sound_maker.track = &track;
  try {
    sound_maker.thread = std::thread([&track, &input] { make_ladder_sound(input, track); });
  } catch (const std::exception& refused) {
    rungs.fail({"starting the sound's thread", refused.what()});
    return;
  }
  make_ladder_pictures(input, rendition_window{}, ladder_sound_source{&track, false}, largest_frame,
                       rungs);
}

void make_ladder_sound(const std::string& input, sound_track& track) noexcept {
  end_with(track, "making the sound", [&] { return make_sound(input, track); });
}

}  // namespace quorvane
