#include "rendition/transcode_rendition.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "hls/playlist_check.h"
#include "rendition/output_writing.h"
#include "rendition/rendition_pass.h"
#include "rendition/video_path.h"

namespace quorvane {

namespace {

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

// Sends each step's packets of the ladder's sound to the rendition's muxer.
step_output muxer_output(hls_muxer& muxer) {
  return [&muxer](const sound_step& step, media_error&) {
    for (const packet_ptr& packet : step.packets) {
      if (!write_sound_packet(muxer, packet.get(), step.progress.first_pts)) {
        return false;
      }
    }
    return true;
  };
}

step_result finish_output(rendition_pipeline& pipeline, const std::string& playlist) {
  hls_muxer& muxer = pipeline.muxer;
  const int trailer = av_write_trailer(muxer.context.get());
  if (trailer < 0) {
    return ffmpeg_failure("finishing the output " + playlist, trailer);
  }
  // A source whose pictures all failed to decode leaves a playlist of audio
  // and a video stream without a picture: players cannot use it.
  if (!has_pictures(pipeline.video)) {
    return step_failure{"decoding the pictures", "no picture of the source could be decoded"};
  }
  if (muxer.close_watch.failed) {
    return step_failure{"writing the segments", "a segment file could not be written in full"};
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

step_result run_rendition(rendition_pipeline& pipeline, const std::string& input,
                          const pass_plan& plan, const rendition_window& window,
                          const rendition_sound& sound) {
  hls_muxer& muxer = pipeline.muxer;
  muxer.window.first_slot = window.first_slot;
  muxer.window.end_slot = window.end_slot;
  pipeline.sound.reader = sound.reader;
  if (step_result failed = open_pipeline(pipeline, input, plan)) {
    return failed;
  }
  if (pipeline.sound.origin == sound_origin::made && sound.reader != nullptr) {
    sound.reader->leave();  // a source without sound: silence of its own
  }
  muxer.window.pre_roll_slots = picture_pre_roll_slots(av_q2d(pipeline.video.picture_duration));
  pipeline.sound.output = muxer_output(muxer);
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
  // picture encoder gives out what it still holds; its sound is all taken.
  if (window_done(muxer.window)) {
    if (!drain_video_encoder(pipeline.video, muxer)) {
      return encoding_failure("encoding the last pictures", pipeline);
    }
  } else if (step_result failed = finish_media(pipeline)) {
    return failed;
  }
  return finish_output(pipeline, plan.playlist);
}

// The sound pass itself; its failure goes into the track.
void make_sound(const std::string& input, sound_track& track) {
  rendition_pipeline pipeline;
  pipeline.muxer.window.writes = false;
  pass_plan plan;
  plan.pictures = picture_use::skipped;
  plan.sound = sound_origin::made;
  step_result failed = open_pipeline(pipeline, input, plan);
  if (!failed && pipeline.source.audio_stream == nullptr) {
    track.finish();  // each rendition makes silence for its own pictures
    return;
  }
  pipeline.sound.output = [&track](const sound_step& step, media_error& error) {
    std::optional<sound_step> copy = shared_copy(step);
    if (!copy) {
      error = media_error{AVERROR(ENOMEM), false, "handing the sound over"};
      return false;
    }
    if (!track.add(std::move(*copy))) {
      error = media_error{0, false, "handing the sound over", "no rendition reads it any more"};
      return false;
    }
    return true;
  };
  if (!failed) {
    failed = read_input(pipeline, read_policies{});
  }
  if (!failed) {
    failed = finish_media(pipeline);
  }
  if (failed) {
    track.fail(*failed);
  } else {
    track.finish();
  }
}

}  // namespace

rendition_outcome transcode_rendition(std::string input, std::string playlist, int32_t width,
                                      int32_t height, int32_t bitrate, std::string key,
                                      const rendition_window& window,
                                      const rendition_sound& sound) {
  pass_plan plan;
  plan.pictures = picture_use::encoded;
  plan.sound = sound.reader != nullptr ? sound_origin::taken : sound_origin::made;
  plan.silence_taken = sound.carries_silence;
  plan.width = width;
  plan.height = height;
  plan.bitrate = bitrate;
  plan.playlist = std::move(playlist);
  plan.key = std::move(key);
  rendition_pipeline pipeline;
  rendition_outcome outcome;
  outcome.failure = run_rendition(pipeline, input, plan, window, sound);
  if (pipeline.video.encoder) {
    outcome.video_codec = h264_codec_name(pipeline.video.encoder.get());
  }
  return outcome;
}

void make_ladder_sound(const std::string& input, sound_track& track) noexcept {
  try {
    make_sound(input, track);
  } catch (const std::exception& error) {
    track.fail({"making the sound", std::string("it threw: ") + error.what()});
  } catch (...) {
    track.fail({"making the sound", "it threw an exception of unknown type"});
  }
}

}  // namespace quorvane
