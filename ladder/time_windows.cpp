#include "ladder/time_windows.h"

#include <cstdio>
#include <fstream>
#include <utility>

#include "hls/output_format.h"
#include "ladder/rendition_ladder.h"
#include "source/source_probe.h"

namespace quorvane {

namespace {

constexpr const char* planning_step = "planning the windows";

// The pictures of a planning pass go through a chain this small: their
// timing does not depend on the size.
constexpr int32_t planning_width = 64;
constexpr int32_t planning_height = 36;

double slot_seconds(int64_t slot) { return static_cast<double>(slot) / 30; }

// The HLS muxer encrypts every segment with the IV of the key-info file, or
// when it gives none with the first segment's number: for the whole file,
// 0. A later window's muxer would take its own first number, so it is given
// a key-info file that says 0. Empty when `key` can be used as it is.
std::optional<std::string> whole_file_key_info(const std::string& key, const ladder_window& window,
                                               const std::string& beside) {
  if (window.part.first_slot == 0) {
    return std::nullopt;
  }
  std::ifstream given(key);
  std::string uri;
  std::string file;
  std::string iv;
  if (!std::getline(given, uri) || !std::getline(given, file)) {
    return std::nullopt;  // the muxer refuses it with its own reason
  }
  std::getline(given, iv);
  if (iv.find_first_not_of(" \t\r") != std::string::npos) {
    return std::nullopt;
  }
  const std::string derived = beside + ".keyinfo";
  std::ofstream written(derived, std::ios::trunc);
  written << uri << '\n' << file << '\n' << std::string(32, '0') << '\n';
  written.close();
  if (!written) {
    return std::nullopt;
  }
  return derived;
}

}  // namespace

int64_t ladder_window::first_segment() const { return part.first_slot / segment_slots; }

double ladder_window::start_seconds() const { return slot_seconds(part.first_slot); }

std::optional<double> ladder_window::end_seconds() const {
  if (part.end_slot >= unbounded_slot) {
    return std::nullopt;
  }
  return slot_seconds(part.end_slot);
}

window_plan plan_ladder_windows(const std::string& input, int64_t window_seconds) {
  window_plan plan;
  const int64_t segment_seconds_count = segment_slots / 30;
  if (window_seconds <= 0 || window_seconds % segment_seconds_count != 0 ||
      window_seconds > 1000000) {
    plan.failure = step_failure{planning_step, "the window must be a positive multiple of " +
                                                   std::to_string(segment_seconds_count) + " s"};
    return plan;
  }
  const probed_source source = probe_source_size(input);
  if (source.failure) {
    plan.failure = source.failure;
    return plan;
  }
  seam_plan_outcome seams = plan_seams(input, planning_width, planning_height, window_seconds * 30);
  if (seams.failure) {
    plan.failure = std::move(seams.failure);
    return plan;
  }
  ladder_window first;
  plan.windows.push_back(first);
  for (planned_seam& seam : seams.seams) {
    plan.windows.back().part.end_slot = seam.slot;
    ladder_window next;
    next.part.first_slot = seam.slot;
    next.part.resume = std::move(seam.resume);
    plan.windows.push_back(std::move(next));
  }
  return plan;
}


std::vector<rung_failure> encode_ladder_window(std::string input, std::string output,
                                               std::vector<std::string> resolution,
                                               std::vector<int32_t> bitrate, std::string key,
                                               const ladder_window& window) {
  const std::optional<std::string> derived_key = whole_file_key_info(key, window, output);
  if (derived_key) {
    key = *derived_key;
  }
  const rendition_window part = window.part;
  const rendition_worker worker = [part](std::string source, std::string playlist, int32_t width,
                                         int32_t height, int32_t rate, std::string key_info) {
    return transcode_rendition_part(std::move(source), std::move(playlist), width, height, rate,
                               std::move(key_info), part);
  };
  std::vector<rung_failure> failures =
      run_ladder(std::move(input), std::move(output), std::move(resolution), std::move(bitrate),
                 key, worker);
  if (derived_key) {
    std::remove(derived_key->c_str());
  }
  return failures;
}

}  // namespace quorvane
