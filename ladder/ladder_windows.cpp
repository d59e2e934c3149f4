#include "ladder/ladder_windows.h"

#include <cstdio>
#include <utility>
#include <variant>

#include "hls/key_info.h"
#include "hls/output_format.h"
#include "ladder/rendition_ladder.h"
#include "rendition/ladder_passes.h"
#include "source/source_probe.h"

namespace quorvane {

namespace {

constexpr const char* planning_step = "planning the windows";

// The pictures of a planning pass go through a chain this small: their
// timing does not depend on the size.
constexpr int32_t planning_width = 64;
constexpr int32_t planning_height = 36;

// Slots beyond this (some thirty thousand years) are no window's.
constexpr int64_t max_window_slot = int64_t{1} << 50;

// A later window's muxer would take its own first segment's number for the
// IV where the key-info file gives none: it is given one that gives the
// whole file's. Empty when `key` can be used as it is.
std::variant<std::monostate, std::string, step_failure> whole_file_key_info(
    const std::string& key, const ladder_window& window, const std::string& beside) {
  if (window.part.first_slot == 0) {
    return std::monostate{};
  }
  std::variant<key_info, std::string> info = read_key_info(key);
  if (std::holds_alternative<std::string>(info)) {
    return std::monostate{};  // the muxer refuses it with its own reason
  }
  const std::string derived = beside + ".keyinfo";
  if (std::optional<std::string> failed =
          write_whole_file_key_info(derived, std::get<key_info>(info))) {
    return step_failure{"writing the window's key-info file", *failed};
  }
  return derived;
}

}  // namespace

std::optional<std::string> window_refusal(const ladder_window& window) {
  const rendition_window& part = window.part;
  if (part.first_slot < 0 || part.first_slot > max_window_slot ||
      part.first_slot % segment_slots != 0) {
    return "the window's first_slot is not a segment's first slot";
  }
  if (part.end_slot < unbounded_slot &&
      (part.end_slot <= part.first_slot || part.end_slot > max_window_slot ||
       part.end_slot % segment_slots != 0)) {
    return "the window's end_slot is not a segment's first slot after its first_slot";
  }
  if ((part.first_slot > 0) != part.resume.has_value()) {
    return part.resume ? "the first window has a resume state"
                       : "the window's resume state is missing";
  }
  if (part.resume) {
    return resume_refusal(*part.resume, part.first_slot);
  }
  return std::nullopt;
}

window_plan_outcome plan_ladder_windows(const std::string& input, int64_t window_seconds,
                                        const std::string& folder, const planning_events& events) {
  window_plan_outcome outcome;
  if (window_seconds <= 0 || window_seconds % segment_seconds != 0 || window_seconds > 1000000) {
    outcome.failure = step_failure{planning_step, "the window must be a positive multiple of " +
                                                      std::to_string(segment_seconds) + " s"};
    return outcome;
  }
  const probed_source source = probe_source_size(input);
  if (source.failure) {
    outcome.failure = source.failure;
    return outcome;
  }
  const planning_outcome planned =
      plan_windows_pass(input, planning_width, planning_height,
                        window_seconds * slots_per_second, folder, events);
  outcome.failure = planned.failure;
  if (!outcome.failure && planned.windows < 2) {
    outcome.failure = step_failure{planning_step, "no seam can be placed"};
    outcome.unsplittable = true;
  }
  return outcome;
}

std::vector<rung_failure> encode_ladder_window(std::string input, std::string output,
                                               std::vector<std::string> resolution,
                                               std::vector<int32_t> bitrate, std::string key,
                                               const ladder_window& window) {
  // Its sound was made by the planning pass: read whole, for every rung.
  sound_track track(sound_track::unlimited);
  const int64_t first_step = window.part.resume ? window.part.resume->timeline.sound.steps : 0;
  if (std::optional<std::string> refused = read_sound_file(window.sound_file, first_step, track)) {
    return {rung_failure{all_rungs, step_failure{"reading the window's sound", *refused}}};
  }
  const auto derived_key = whole_file_key_info(key, window, output);
  if (const step_failure* failed = std::get_if<step_failure>(&derived_key)) {
    return {rung_failure{all_rungs, *failed}};
  }
  const std::string* derived = std::get_if<std::string>(&derived_key);
  if (derived != nullptr) {
    key = *derived;
  }
  // One picture pass for every rung of the window, its sound taken from
  // the file.
  rung_handover rungs = make_rung_handover();
  ladder_passes passes;
  passes.rungs = &rungs;
  passes.make = [&rungs, &track, input, part = window.part](frame_box largest_frame) {
    make_ladder_pictures(input, part, ladder_sound_source{&track, true}, largest_frame, rungs);
  };
  std::vector<rung_failure> failures =
      run_ladder(std::move(input), std::move(output), std::move(resolution), std::move(bitrate), key,
                 ladder_rung_worker(window.part.first_slot, window.part.end_slot),
                 start_std_thread, passes);
  if (derived != nullptr) {
    std::remove(derived->c_str());
  }
  return failures;
}

}  // namespace quorvane
