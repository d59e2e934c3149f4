#include "rendition/planning_pass.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <utility>
#include <vector>

#include "hls/output_format.h"
#include "rendition/rendition_pass.h"

namespace quorvane {

namespace {

constexpr const char* planning_step = "planning the windows";

// How often the pass tells how far it has come.
constexpr std::chrono::milliseconds progress_interval{1000};

// A window found whose sound file is still being written.
struct pending_window {
  planned_window window;
  int64_t first_step = 0;  // of the ladder's sound, the first its file holds
  std::unique_ptr<sound_file_writer> writer;
  bool end_known = false;
};

// The planning pass's own bookkeeping, beside the pipeline it runs.
struct seam_search {
  seam_search(rendition_pipeline& pass, const planning_events& told, std::string sound_folder)
      : pipeline(pass), events(told), folder(std::move(sound_folder)) {}

  rendition_pipeline& pipeline;
  const planning_events& events;
  std::string folder;
  int64_t step_slots = 0;
  int64_t next_seam = 0;
  // Before the packet being read: the timeline, how far it had reached,
  // and whether sound was held.
  resume_point before;
  window_admission reach_before;
  bool sound_held_before = false;
  std::vector<std::pair<int64_t, int64_t>> keyframes;  // packet index, timestamp
  std::deque<pending_window> pending;
  std::vector<sound_step> packet_steps;  // the ladder's sound made at the packet being read
  int64_t handed_over = 0;
  std::chrono::steady_clock::time_point last_progress = std::chrono::steady_clock::now();

  const window_admission& reach() const { return pipeline.muxer.window; }
  int64_t first_pts() const { return pipeline.sound.progress.first_pts; }

  step_result open_window(rendition_window part, int64_t first_step) {
    pending_window window;
    window.window.part = std::move(part);
    window.first_step = first_step;
    window.window.sound_file =
        folder + "/sound-" + std::to_string(handed_over + static_cast<int64_t>(pending.size()));
    if (std::optional<std::string> failed =
            sound_file_writer::open(window.window.sound_file, first_step, window.writer)) {
      return step_failure{"writing the windows' sound", *failed};
    }
    pending.push_back(std::move(window));
    return std::nullopt;
  }

  // The packet to decode pictures from for a window resuming from `state`
  // (before packet `packet`): the last keyframe at or before every picture
  // the state refers to, or the last keyframe read when it refers to none.
  int64_t video_start_packet(const timeline_state& state, int64_t packet) const {
    const std::vector<int64_t> needed = pictures_needed(state);
    int64_t earliest = INT64_MAX;
    for (const int64_t own : needed) {
      earliest = std::min(earliest, own);
    }
    int64_t start = 0;
    for (const auto& [index, timestamp] : keyframes) {
      if (index >= packet) {
        break;
      }
      if (needed.empty() || (timestamp != AV_NOPTS_VALUE && timestamp <= earliest)) {
        start = index;
      }
    }
    return start;
  }

  // Every seam the timeline reached with the packet just read gets the
  // state from before it, where a window can resume cleanly: no sound held,
  // nothing of the window encoded or written yet, a held picture the window
  // can find again by its timestamp (an attached picture, the stream's only
  // one, by its having none), and a state the window takes.
  step_result note_seams() {
    const int64_t pre_roll = pipeline.muxer.window.pre_roll_slots;
    while (reaches_slot(reach(), first_pts(), next_seam, pre_roll)) {
      resume_point point = before;
      point.video_from_packet = video_start_packet(point.timeline, point.packet);
      const held_place& held = point.timeline.pictures.held;
      const bool clean =
          !sound_held_before &&
          !reaches_slot(reach_before, point.timeline.sound.first_pts, next_seam, pre_roll) &&
          (!held.holding || held.source_pts != AV_NOPTS_VALUE || pipeline.video.single_picture) &&
          !resume_refusal(point, next_seam);
      if (clean) {
        pending.back().window.part.end_slot = next_seam;
        pending.back().end_known = true;
        rendition_window part;
        part.first_slot = next_seam;
        const int64_t first_step = point.timeline.sound.steps;
        part.resume = std::move(point);
        if (step_result failed = open_window(std::move(part), first_step)) {
          return failed;
        }
      }
      next_seam += step_slots;
    }
    return std::nullopt;
  }

  // The packet's sound steps, into the file of every window that holds them.
  step_result write_steps() {
    for (const sound_step& step : packet_steps) {
      const int64_t index = step.progress.steps - 1;
      for (pending_window& window : pending) {
        if (window.first_step <= index) {
          if (std::optional<std::string> failed = window.writer->write(step)) {
            return step_failure{"writing the windows' sound", *failed};
          }
        }
      }
    }
    packet_steps.clear();
    return std::nullopt;
  }

  step_result hand_over(pending_window& window) {
    if (std::optional<std::string> failed = window.writer->close()) {
      return step_failure{"writing the windows' sound", *failed};
    }
    window.writer.reset();
    ++handed_over;
    if (!events.on_window(window.window)) {
      return step_failure{planning_step, "stopped"};
    }
    return std::nullopt;
  }

  // Hands over, in order, each window the timeline has passed the end of.
  step_result hand_over_passed() {
    while (!pending.empty() && pending.front().end_known &&
           passed_window_end(reach(), first_pts(), pending.front().window.part.end_slot)) {
      if (step_result failed = hand_over(pending.front())) {
        return failed;
      }
      pending.pop_front();
    }
    return std::nullopt;
  }

  step_result tell_progress() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_progress < progress_interval || !events.on_progress) {
      return std::nullopt;
    }
    last_progress = now;
    const double seconds = slot_seconds(std::max<int64_t>(reach().latest_slot, 0));
    if (!events.on_progress(seconds)) {
      return step_failure{planning_step, "stopped"};
    }
    return std::nullopt;
  }

  void before_packet(int64_t index) {
    before.packet = index;
    before.timeline = current_timeline(pipeline);
    reach_before = reach();
    sound_held_before = !pipeline.source.held_sound.empty();
  }

  step_result after_packet(int64_t index, bool is_video) {
    const AVPacket* packet = pipeline.source.packet.get();
    if (is_video && (packet->flags & AV_PKT_FLAG_KEY) != 0) {
      keyframes.emplace_back(index, packet->pts);
    }
    if (step_result failed = note_seams()) {
      return failed;
    }
    if (step_result failed = write_steps()) {
      return failed;
    }
    if (step_result failed = hand_over_passed()) {
      return failed;
    }
    return tell_progress();
  }

  // At the end of the media: a seam the pictures never got to while the file
  // was read (one reached only by the encoders' lead-in) is the end, not a
  // window's start; then every window left is handed over, the last running
  // to the end.
  step_result hand_over_rest(int64_t pictures_reached) {
    while (pending.size() > 1 && pending.back().window.part.first_slot > pictures_reached) {
      pending.back().writer.reset();
      std::remove(pending.back().window.sound_file.c_str());
      pending.pop_back();
      pending.back().window.part.end_slot = unbounded_slot;
    }
    while (!pending.empty()) {
      if (step_result failed = hand_over(pending.front())) {
        return failed;
      }
      pending.pop_front();
    }
    return std::nullopt;
  }
};

step_result plan(seam_search& search, const std::string& input, const pass_plan& plan,
                 sound_track& track, track_maker_thread& maker) {
  rendition_pipeline& pipeline = search.pipeline;
  if (step_result failed = open_pipeline(pipeline, input, plan)) {
    return failed;
  }
  if (pipeline.sound.origin == sound_origin::made) {
    pipeline.sound.reader->leave();  // a source without sound: its silence is made here
  } else {
    try {
      maker.thread = std::thread([&track, &input] { make_ladder_sound(input, track); });
    } catch (const std::exception& refused) {
      return step_failure{"starting the sound's thread", refused.what()};
    }
  }
  // Only the pictures' times matter here: the decoder leaves out its
  // deblocking, the chain works on a few pixels.
  pipeline.video.decoder->skip_loop_filter = AVDISCARD_ALL;
  pipeline.muxer.window.pre_roll_slots =
      picture_pre_roll_slots(av_q2d(pipeline.video.picture_duration));
  pipeline.sound.output = [&search](const std::shared_ptr<const sound_step>& step,
                                    media_error& error) {
    note_sound_packets(search.pipeline.muxer.window, *step);
    std::optional<sound_step> copy = shared_copy(*step);
    if (!copy) {
      error = media_error{AVERROR(ENOMEM), false, planning_step};
      return false;
    }
    search.packet_steps.push_back(std::move(*copy));
    return true;
  };
  if (step_result failed = search.open_window(rendition_window{}, 0)) {
    return failed;
  }
  read_policies policies;
  policies.before = [&search](int64_t index) { search.before_packet(index); };
  policies.after = [&search](int64_t index, bool is_video) {
    return search.after_packet(index, is_video);
  };
  if (step_result failed = read_input(pipeline, policies)) {
    return failed;
  }
  const int64_t pictures_reached = search.reach().latest_slot;
  if (step_result failed = finish_media(pipeline)) {
    return failed;
  }
  if (step_result failed = search.write_steps()) {
    return failed;
  }
  return search.hand_over_rest(pictures_reached);
}

}  // namespace

planning_outcome plan_windows_pass(const std::string& input, int32_t width, int32_t height,
                                   int64_t step_slots, const std::string& folder,
                                   const planning_events& events) {
  // The sound is made by a pass of its own on another thread, as in a call;
  // this pass takes its steps. Released in reverse: the reader leaves the
  // track first, so that the maker stops, then the maker is joined.
  sound_track track;
  track_maker_thread maker;
  maker.track = &track;
  track_reader reader;  // leaves before the maker is joined, whichever way the pass ends
  pass_plan plan_of_pass;
  plan_of_pass.pictures = picture_use::timed;
  plan_of_pass.sound = sound_origin::taken;
  plan_of_pass.width = width;
  plan_of_pass.height = height;
  reader.track = &track;
  reader.next = track.join();
  track.seal();
  rendition_pipeline pipeline;
  pipeline.muxer.window.writes = false;
  pipeline.sound.reader = &reader;
  seam_search search(pipeline, events, folder);
  search.step_slots = std::max<int64_t>(step_slots, segment_slots);
  search.next_seam = search.step_slots;
  planning_outcome outcome;
  outcome.failure = plan(search, input, plan_of_pass, track, maker);
  outcome.windows = search.handed_over;
  reader.leave();
  for (pending_window& left : search.pending) {
    left.writer.reset();
    std::remove(left.window.sound_file.c_str());
  }
  return outcome;
}

}  // namespace quorvane
