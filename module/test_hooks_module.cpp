// A test-only module that runs the ladder driver with a stand-in worker, so
// tests can see which workers it starts, with which arguments, and what it
// does when a worker fails, throws, or cannot be given a thread, and the
// failures it logs.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

extern "C" {
#include <libavutil/mastering_display_metadata.h>
}

#include "hls/master_playlist.h"
#include "ladder/ladder_driver.h"
#include "module/failure_log.h"
#include "rendition/hdr_tone_map.h"
#include "rendition/media_timeline.h"

namespace py = pybind11;

namespace {

using worker_call = std::tuple<std::string, std::string, int32_t, int32_t, int32_t, std::string>;

// Which thread, in the driver's start order, the current stand-in runs on.
thread_local int start_position = -1;

struct recorded_run {
  std::vector<worker_call> calls;  // in the order the driver started the threads
  std::vector<std::string> finished_order;
  size_t distinct_threads = 0;
};

// How long a stand-in waits at the rendezvous for the others. Workers that
// run at the same time all arrive, however slow the machine; a driver that
// runs them one after another leaves the first one waiting out this bound.
constexpr std::chrono::seconds rendezvous_bound{30};

// `outcomes` maps a playlist name to what its stand-in does: "finish",
// "finish_without_files", "fail", "throw" (std::runtime_error) or "throw_other" (a non-standard
// exception). Unnamed playlists finish. `thread_limit` refuses threads past
// that many, as a system out of threads would. With `rendezvous` above 0,
// each stand-in first waits until that many stand-ins are running, and fails
// when they never are.
recorded_run run_with_stand_in(std::string input, std::string output,
                               std::vector<std::string> resolution, std::vector<int32_t> bitrate,
                               std::string key, std::map<std::string, std::string> outcomes,
                               int thread_limit, int worker_delay_ms, int rendezvous) {
  recorded_run run;
  std::mutex lock;
  std::condition_variable arrivals;
  int arrived = 0;
  std::vector<std::pair<int, worker_call>> positioned_calls;
  std::vector<std::thread::id> thread_ids;
  const quorvane::rendition_worker stand_in =
      [&](std::string input_path, std::string playlist, int32_t width, int32_t height,
          int32_t rate, std::string key_path,
          quorvane::rung_reader*) -> quorvane::rendition_outcome {
    {
      std::lock_guard<std::mutex> guard(lock);
      positioned_calls.emplace_back(
          start_position, worker_call{input_path, playlist, width, height, rate, key_path});
      thread_ids.push_back(std::this_thread::get_id());
    }
    bool met_all = true;
    if (rendezvous > 0) {
      std::unique_lock<std::mutex> guard(lock);
      ++arrived;
      arrivals.notify_all();
      met_all = arrivals.wait_for(guard, rendezvous_bound, [&] { return arrived >= rendezvous; });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(worker_delay_ms));
    const auto found = outcomes.find(playlist);
    const std::string outcome =
        !met_all ? "fail" : found == outcomes.end() ? "finish" : found->second;
    {
      std::lock_guard<std::mutex> guard(lock);
      run.finished_order.push_back(playlist);
    }
    if (outcome == "throw") {
      throw std::runtime_error("stand-in worker failed");
    }
    if (outcome == "throw_other") {
      throw 42;
    }
    if (outcome == "finish") {
      // A finished rendition's files, as the master playlist measures them:
      // one 6 s segment of 750 bytes, 1000 bits per second.
      const std::string segment = playlist.substr(0, playlist.rfind('.')) + "_000.ts";
      std::ofstream(playlist) << "#EXTM3U\n#EXTINF:6.000000,\n" << segment
                              << "\n#EXT-X-ENDLIST\n";
      std::ofstream(segment) << std::string(750, 'x');
      return quorvane::rendition_outcome{};
    }
    if (outcome == "finish_without_files") {
      return quorvane::rendition_outcome{};  // says it finished, wrote nothing
    }
    return quorvane::rendition_outcome{quorvane::step_failure{"stand-in", "told to fail"}, ""};
  };
  int started = 0;
  const quorvane::thread_starter limited_starter = [&](std::function<void()> body) {
    if (thread_limit >= 0 && started >= thread_limit) {
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    const int position = started++;
    return std::thread([position, body = std::move(body)] {
      start_position = position;
      body();
    });
  };
  std::vector<quorvane::rung_failure> failures;
  {
    py::gil_scoped_release release;
    failures = quorvane::run_ladder(std::move(input), std::move(output), std::move(resolution),
                                    std::move(bitrate), std::move(key), stand_in, limited_starter);
  }
  // Logged as the quorvane module logs them, so that tests see the reasons.
  quorvane::log_failures(failures);
  std::sort(positioned_calls.begin(), positioned_calls.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& entry : positioned_calls) {
    run.calls.push_back(std::move(entry.second));
  }
  std::vector<std::thread::id> distinct = thread_ids;
  std::sort(distinct.begin(), distinct.end());
  run.distinct_threads =
      static_cast<size_t>(std::unique(distinct.begin(), distinct.end()) - distinct.begin());
  return run;
}

// One HDR picture, `planes` in 10-bit 4:2:0 (little-endian, no padding),
// through the tone map: the 8-bit 4:2:0 planes it gives. `max_cll` > 0 tags
// the picture with that content light level; `vector_lanes` false keeps the
// map to its plain loop.
py::bytes tone_map_planes(const std::string& planes, int width, int height,
                          const std::string& transfer, bool full_range, int max_cll,
                          bool vector_lanes) {
  quorvane::hdr_colours colours;  // BT.2020, as phones record
  colours.hlg = transfer == "hlg";
  colours.full_range = full_range;
  quorvane::hdr_tone_map map = quorvane::make_hdr_tone_map(colours);
  map.vector_lanes = vector_lanes;
  const int chroma_width = (width + 1) / 2;
  const int chroma_height = (height + 1) / 2;
  const size_t sizes[3] = {size_t(width) * height, size_t(chroma_width) * chroma_height,
                           size_t(chroma_width) * chroma_height};
  if (planes.size() != 2 * (sizes[0] + sizes[1] + sizes[2])) {
    throw std::invalid_argument("planes do not hold one 10-bit 4:2:0 picture of that size");
  }
  quorvane::frame_ptr in(av_frame_alloc());
  quorvane::frame_ptr out(av_frame_alloc());
  if (!in || !out) {
    throw std::bad_alloc();
  }
  in->format = quorvane::tone_map_input_format;
  in->width = width;
  in->height = height;
  if (av_frame_get_buffer(in.get(), 0) < 0) {
    throw std::bad_alloc();
  }
  if (max_cll > 0) {
    AVContentLightMetadata* light = av_content_light_metadata_create_side_data(in.get());
    if (light == nullptr) {
      throw std::bad_alloc();
    }
    light->MaxCLL = static_cast<unsigned>(max_cll);
  }
  const char* source = planes.data();
  for (int plane = 0; plane < 3; ++plane) {
    const int plane_width = plane == 0 ? width : chroma_width;
    const int plane_height = plane == 0 ? height : chroma_height;
    for (int row = 0; row < plane_height; ++row) {
      std::memcpy(in->data[plane] + int64_t{row} * in->linesize[plane], source, 2 * size_t(plane_width));
      source += 2 * size_t(plane_width);
    }
  }
  if (quorvane::tone_map_picture(map, in.get(), out.get()) < 0) {
    throw std::runtime_error("the tone map refused the picture");
  }
  std::string mapped;
  for (int plane = 0; plane < 3; ++plane) {
    const int plane_width = plane == 0 ? width : chroma_width;
    const int plane_height = plane == 0 ? height : chroma_height;
    for (int row = 0; row < plane_height; ++row) {
      mapped.append(reinterpret_cast<const char*>(out->data[plane] + int64_t{row} * out->linesize[plane]),
                    size_t(plane_width));
    }
  }
  return py::bytes(mapped);
}

}  // namespace

PYBIND11_MODULE(_quorvane_test_hooks, module) {
  module.def(
      "run_ladder_with_stand_in",
      [](std::string input, std::string output, std::vector<std::string> resolution,
         std::vector<int32_t> bitrate, std::string key, std::map<std::string, std::string> outcomes,
         int thread_limit, int worker_delay_ms, int rendezvous) {
        recorded_run run =
            run_with_stand_in(std::move(input), std::move(output), std::move(resolution),
                              std::move(bitrate), std::move(key), std::move(outcomes),
                              thread_limit, worker_delay_ms, rendezvous);
        return py::make_tuple(run.calls, run.finished_order, run.distinct_threads);
      },
      py::arg("input"), py::arg("output"), py::arg("resolution"), py::arg("bitrate"),
      py::arg("key"), py::arg("outcomes") = std::map<std::string, std::string>{},
      py::arg("thread_limit") = -1, py::arg("worker_delay_ms") = 0, py::arg("rendezvous") = 0);
  module.def("media_playlist_uri", &quorvane::media_playlist_uri, py::arg("master_path"),
             py::arg("playlist_name"));
  // The 1/30 s slot each picture time (seconds, None: unknown) is given in
  // turn; None for a picture left out.
  module.def(
      "place_pictures",
      [](const std::vector<std::optional<double>>& times) {
        quorvane::picture_clock clock;
        std::vector<std::optional<int64_t>> slots;
        for (const std::optional<double>& time : times) {
          const int64_t slot = quorvane::place_picture(clock, time ? *time : std::nan(""));
          slots.push_back(slot == AV_NOPTS_VALUE ? std::nullopt : std::optional<int64_t>(slot));
        }
        return slots;
      },
      py::arg("times"));
  module.def("tone_map_planes", &tone_map_planes, py::arg("planes"), py::arg("width"),
             py::arg("height"), py::arg("transfer"), py::arg("full_range") = false,
             py::arg("max_cll") = 0, py::arg("vector_lanes") = true);
}
