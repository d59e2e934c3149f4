// _quorvane_queue_native: what quorvane_queue shares with hls_encoder, from
// the same rooms: the probe under the call's input rules, the rungs a request
// plans, and the playlists. Private to the queue; quorvane itself keeps its
// one function.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <fstream>
#include <cstdint>
#include <stdexcept>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "hls/m3u8.h"
#include "hls/master_playlist.h"
#include "hls/output_format.h"
#include "hls/playlist_join.h"
#include "hls/rendition_rates.h"
#include "hls/transport_counters.h"
#include "ladder/rendition_ladder.h"
#include "ladder/time_windows.h"
#include "module/failure_log.h"
#include "source/source_probe.h"

namespace py = pybind11;

namespace {

// The master playlist a window's encode leaves beside its media playlists.
constexpr const char* window_master = "master.m3u8";

// The upload as hls_encoder would judge it before planning its ladder, with
// the failure worded as the call logs it.
py::dict probe_upload(const std::string& path) {
  quorvane::probed_source probed;
  {
    py::gil_scoped_release released;
    probed = quorvane::probe_source_size(path);
  }
  py::dict result;
  result["refused"] = probed.failure ? py::cast(quorvane::failure_message(quorvane::rung_failure{
                                           quorvane::all_rungs, *probed.failure}))
                                     : py::none();
  result["seconds"] = probed.seconds >= 0 ? py::cast(probed.seconds) : py::none();
  result["width"] = probed.size.width;
  result["height"] = probed.size.height;
  return result;
}

// The rungs hls_encoder encodes for these arguments, in its order: names of
// the ladder, each once, with the bitrate at its first place or its default.
py::list plan_rungs(std::optional<std::vector<std::string>> resolution,
                    std::vector<int32_t> bitrate) {
  const std::vector<std::string> names =
      resolution ? std::move(*resolution) : quorvane::default_resolution();
  quorvane::fill_missing_bitrates(names, bitrate);
  py::list rungs;
  for (const std::string& name : quorvane::rendition_names(names)) {
    size_t first = 0;
    while (names[first] != name) {
      ++first;
    }
    py::dict rung;
    rung["name"] = name;
    rung["bitrate"] = bitrate[first];
    rungs.append(rung);
  }
  return rungs;
}

py::object read_playlist(const std::string& path) {
  const std::optional<quorvane::m3u8_playlist> playlist = quorvane::read_m3u8_file(path);
  if (!playlist) {
    return py::none();
  }
  py::list segments;
  py::list keys;
  for (const quorvane::m3u8_reference& reference : playlist->references) {
    py::dict entry;
    entry["uri"] = reference.uri;
    if (quorvane::is_segment(reference)) {
      entry["seconds"] = reference.seconds;
      segments.append(entry);
    } else if (reference.tag == "#EXT-X-KEY") {
      const std::optional<std::string> iv = quorvane::m3u8_attribute(reference.attributes, "IV");
      entry["iv"] = iv ? py::cast(*iv) : py::none();
      keys.append(entry);
    }
  }
  py::dict result;
  result["segments"] = segments;
  result["keys"] = keys;
  result["ended"] = playlist->ended;
  result["media_sequence"] = playlist->media_sequence;
  return result;
}

py::dict rendition_dict(const quorvane::listed_rendition& rendition) {
  py::dict entry;
  entry["name"] = rendition.name;
  entry["width"] = rendition.width;
  entry["height"] = rendition.height;
  entry["peak"] = rendition.rates.peak;
  entry["average"] = rendition.rates.average;
  entry["video_codec"] = rendition.video_codec;
  return entry;
}

py::object read_master(const std::string& path) {
  const std::optional<std::vector<quorvane::listed_rendition>> listed =
      quorvane::read_master_playlist(path);
  if (!listed) {
    return py::none();
  }
  py::list renditions;
  for (const quorvane::listed_rendition& rendition : *listed) {
    renditions.append(rendition_dict(rendition));
  }
  return renditions;
}

// The folder of the file at `path`: the media playlists lie beside the master.
std::string beside(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void write_master(const std::string& path, const py::list& renditions) {
  std::vector<quorvane::listed_rendition> listed;
  for (const py::handle& item : renditions) {
    const py::dict entry = py::reinterpret_borrow<py::dict>(item);
    quorvane::listed_rendition rendition;
    rendition.name = entry["name"].cast<std::string>();
    rendition.width = entry["width"].cast<int32_t>();
    rendition.height = entry["height"].cast<int32_t>();
    rendition.rates.peak = entry["peak"].cast<int64_t>();
    rendition.rates.average = entry["average"].cast<int64_t>();
    rendition.video_codec = entry["video_codec"].cast<std::string>();
    listed.push_back(std::move(rendition));
  }
  if (std::optional<quorvane::step_failure> failed =
          quorvane::write_master_playlist(path, listed, beside(path))) {
    // A storage failure, which the queue retries like any other.
    PyErr_SetString(PyExc_OSError, (failed->step + ": " + failed->reason).c_str());
    throw py::error_already_set();
  }
}

// One rendition's playlists, written window by window, joined into the one
// a call over the whole file writes.
void join_playlists(const std::vector<std::string>& parts, const std::string& output) {
  if (std::optional<quorvane::playlist_join_failure> failed =
          quorvane::join_media_playlists(parts, output)) {
    PyErr_SetString(failed->refused ? PyExc_ValueError : PyExc_OSError, failed->reason.c_str());
    throw py::error_already_set();
  }
}

py::object measure_rendition(const std::string& playlist) {
  const std::optional<quorvane::rendition_rates> rates = quorvane::measure_rendition_rates(playlist);
  if (!rates) {
    return py::none();
  }
  py::dict measured;
  measured["peak"] = rates->peak;
  measured["average"] = rates->average;
  return measured;
}

// A window as the queue carries it from the planning task to a window task.
py::dict window_dict(size_t index, const quorvane::ladder_window& window) {
  py::dict entry;
  entry["index"] = index;
  entry["start"] = window.start_seconds();
  const std::optional<double> end = window.end_seconds();
  entry["end"] = end ? py::cast(*end) : py::none();
  entry["first_segment"] = window.first_segment();
  entry["resume"] = window.part.resume ? quorvane::snapshot_text(*window.part.resume) : "";
  return entry;
}

quorvane::ladder_window window_from_dict(const py::dict& entry) {
  const auto slot = [](double seconds) { return static_cast<int64_t>(std::llround(seconds * 30)); };
  quorvane::ladder_window window;
  window.part.first_slot = slot(entry["start"].cast<double>());
  if (!entry["end"].is_none()) {
    window.part.end_slot = slot(entry["end"].cast<double>());
  }
  const std::string resume = entry["resume"].cast<std::string>();
  if (!resume.empty()) {
    window.part.resume = quorvane::parse_snapshot(resume);
    if (!window.part.resume) {
      throw py::value_error("the window's resume state cannot be read");
    }
  }
  if (window.part.first_slot < 0 || window.part.end_slot <= window.part.first_slot ||
      window.part.first_slot % quorvane::segment_slots != 0 ||
      (window.part.first_slot > 0) != window.part.resume.has_value()) {
    throw py::value_error("the window does not start on a segment with its resume state");
  }
  return window;
}

py::list plan_windows(const std::string& input, int64_t window_seconds) {
  quorvane::window_plan plan;
  {
    py::gil_scoped_release released;
    plan = quorvane::plan_ladder_windows(input, window_seconds);
  }
  if (plan.failure) {
    throw std::runtime_error(plan.failure->step + ": " + plan.failure->reason);
  }
  py::list windows;
  for (size_t i = 0; i < plan.windows.size(); ++i) {
    windows.append(window_dict(i, plan.windows[i]));
  }
  return windows;
}

py::dict encode_window(const std::string& input, std::optional<std::vector<std::string>> resolution,
                       std::vector<int32_t> bitrate, const std::string& key,
                       const py::dict& window) {
  const quorvane::ladder_window part = window_from_dict(window);
  std::vector<quorvane::rung_failure> failures;
  {
    py::gil_scoped_release released;
    failures = quorvane::encode_ladder_window(
        input, window_master, resolution ? std::move(*resolution) : quorvane::default_resolution(),
        std::move(bitrate), key, part);
  }
  py::list reasons;
  for (const quorvane::rung_failure& failure : failures) {
    reasons.append(quorvane::failure_message(failure));
  }
  py::dict result;
  result["renditions"] = read_master(window_master);
  result["failures"] = reasons;
  return result;
}

// 16 bytes from 32 hex digits (an optional 0x before them).
std::array<uint8_t, 16> iv_bytes(std::string hex) {
  if (hex.rfind("0x", 0) == 0 || hex.rfind("0X", 0) == 0) {
    hex = hex.substr(2);
  }
  std::array<uint8_t, 16> bytes{};
  if (hex.size() != 32 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw py::value_error("an IV is 32 hex digits");
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  }
  return bytes;
}

std::array<uint8_t, 16> key_bytes(const std::string& key_file) {
  std::ifstream file(key_file, std::ios::binary);
  std::array<uint8_t, 16> key{};
  if (!file.read(reinterpret_cast<char*>(key.data()), key.size())) {
    PyErr_SetString(PyExc_OSError, (key_file + ": no 16-byte key").c_str());
    throw py::error_already_set();
  }
  return key;
}

quorvane::transport_counters continue_counters(const std::vector<std::string>& segments,
                                               const std::string& key_file, const std::string& iv,
                                               quorvane::transport_counters counters) {
  const std::array<uint8_t, 16> key = key_bytes(key_file);
  const std::array<uint8_t, 16> vector = iv_bytes(iv);
  std::optional<std::string> failed;
  {
    py::gil_scoped_release released;
    failed = quorvane::continue_counters(segments, key, vector, counters);
  }
  if (failed) {
    PyErr_SetString(PyExc_OSError, failed->c_str());
    throw py::error_already_set();
  }
  return counters;
}

}  // namespace

PYBIND11_MODULE(_quorvane_queue_native, module) {
  module.doc() = "quorvane_queue's share of hls_encoder's rules (private)";
  module.def("probe_upload", &probe_upload, py::arg("path"),
             "{'refused': the call's reason or None, 'seconds': the claimed duration or None, "
             "'width', 'height'}");
  module.def("plan_rungs", &plan_rungs, py::arg("resolution"), py::arg("bitrate"),
             "[{'name', 'bitrate'}] as hls_encoder plans them; resolution None: the whole ladder");
  module.def("read_playlist", &read_playlist, py::arg("path"),
             "{'segments': [{'uri', 'seconds'}], 'keys': [{'uri', 'iv'}], 'ended', "
             "'media_sequence'}, or None when it cannot be read");
  module.def("read_master", &read_master, py::arg("path"),
             "[{'name', 'width', 'height', 'peak', 'average', 'video_codec'}], or None");
  module.def("plan_windows", &plan_windows, py::arg("input"), py::arg("window_seconds"),
             "The windows of `window_seconds` the upload splits into, each with the state "
             "its encode resumes from; RuntimeError when it cannot be split.");
  module.def("encode_window", &encode_window, py::arg("input"), py::arg("resolution"),
             py::arg("bitrate"), py::arg("key"), py::arg("window"),
             "Encodes one window of every rung into the working directory (media playlists "
             "numbered as the whole file's, and a master of the window's renditions): "
             "{'renditions': [...], 'failures': [...]}.");
  module.def("continue_counters", &continue_counters, py::arg("segments"), py::arg("key_file"),
             py::arg("iv"), py::arg("counters"),
             "Rewrites the MPEG-TS continuity counters of a window's encrypted segments so "
             "that they follow on from `counters` (PID -> last counter, empty for the first "
             "window); returns where they end, for the next window.");
  module.def("write_master", &write_master, py::arg("path"), py::arg("renditions"),
             "writes a master playlist of read_master's entries; OSError when it cannot");
  module.def("join_playlists", &join_playlists, py::arg("parts"), py::arg("output"),
             "joins a rendition's playlists of consecutive windows, in time order, into the one "
             "a call over the whole file writes; ValueError when they do not join, OSError when "
             "they cannot be read or it cannot be written");
  module.def("measure_rendition", &measure_rendition, py::arg("playlist"),
             "{'peak', 'average'} bits per second measured from its segments, or None");
  // Windows start and end on segment edges.
  module.attr("segment_seconds") = std::stoi(quorvane::segment_seconds);
}
