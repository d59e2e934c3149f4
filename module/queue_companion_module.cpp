// _quorvane_queue_native: what quorvane_queue shares with hls_encoder, from
// the same rooms: the probe under the call's input rules, the rungs a request
// plans, and the playlists. Private to the queue; quorvane itself keeps its
// one function.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "hls/key_info.h"
#include "hls/m3u8.h"
#include "hls/master_playlist.h"
#include "hls/output_format.h"
#include "hls/rendition_rates.h"
#include "hls/rendition_join.h"
#include "ladder/rendition_ladder.h"
#include "ladder/ladder_windows.h"
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

// A window as the queue carries it from the planning task to a window task.
py::dict window_dict(size_t index, const quorvane::ladder_window& window) {
  py::dict entry;
  entry["index"] = index;
  entry["first_slot"] = window.part.first_slot;
  entry["end_slot"] = window.part.end_slot < quorvane::unbounded_slot
                          ? py::cast(window.part.end_slot)
                          : py::none();
  entry["resume"] = window.part.resume ? quorvane::resume_text(*window.part.resume) : "";
  entry["sound"] = window.sound_file;
  return entry;
}

// A field of a window dict, of its type, or ValueError naming it.
template <typename T>
T window_field(const py::dict& entry, const char* name) {
  if (!entry.contains(name)) {
    throw py::value_error(std::string("the window has no ") + name);
  }
  try {
    return entry[name].cast<T>();
  } catch (const py::cast_error&) {
    throw py::value_error(std::string("the window's ") + name + " is not of its type");
  }
}

quorvane::ladder_window window_from_dict(const py::dict& entry) {
  quorvane::ladder_window window;
  window.part.first_slot = window_field<int64_t>(entry, "first_slot");
  const std::optional<int64_t> end = window_field<std::optional<int64_t>>(entry, "end_slot");
  if (end) {
    window.part.end_slot = *end;
  }
  window.sound_file = window_field<std::string>(entry, "sound");
  const std::string resume = window_field<std::string>(entry, "resume");
  if (!resume.empty()) {
    std::variant<quorvane::resume_point, std::string> parsed = quorvane::parse_resume(resume);
    if (const std::string* refused = std::get_if<std::string>(&parsed)) {
      throw py::value_error(*refused);
    }
    window.part.resume = std::get<quorvane::resume_point>(std::move(parsed));
  }
  if (std::optional<std::string> refused = quorvane::window_refusal(window)) {
    throw py::value_error(*refused);
  }
  return window;
}

// Plans the windows, writing each one's sound into `folder`, and hands each
// to `on_event` as {"window": ...} once it can be encoded, with
// {"progress": seconds} as the pass goes on. ValueError when the upload
// cannot be split (one task encodes it whole); RuntimeError when the pass
// failed.
void plan_windows(const std::string& input, int64_t window_seconds, const std::string& folder,
                  const py::function& on_event) {
  size_t announced = 0;
  std::optional<py::error_already_set> raised;
  // Hands one event to Python; false, the pass to stop, once it raised.
  const auto tell = [&](const char* name, auto make_value) {
    py::gil_scoped_acquire held;
    if (raised) {
      return false;
    }
    try {
      py::dict event;
      event[name] = make_value();
      on_event(event);
    } catch (py::error_already_set& error) {
      raised.emplace(std::move(error));
      return false;
    }
    return true;
  };
  const quorvane::planning_events events{
      [&](const quorvane::planned_window& window) {
        return tell("window", [&] { return window_dict(announced++, window); });
      },
      [&](double seconds) { return tell("progress", [&] { return py::float_(seconds); }); }};
  quorvane::window_plan_outcome outcome;
  {
    py::gil_scoped_release released;
    outcome = quorvane::plan_ladder_windows(input, window_seconds, folder, events);
  }
  if (raised) {
    throw std::move(*raised);
  }
  if (outcome.failure) {
    const std::string reason = outcome.failure->step + ": " + outcome.failure->reason;
    if (outcome.unsplittable) {
      throw py::value_error(reason);
    }
    throw std::runtime_error(reason);
  }
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

// Refuses, with ValueError naming the field, a window that encode_window
// would refuse, without encoding anything.
void check_window(const py::dict& window) { (void)window_from_dict(window); }

// The IV of the segment numbered `sequence` under a key line whose IV
// attribute is `iv` (None: it has none), in hex: the one rule players and
// the muxer follow.
std::string segment_iv(const std::optional<std::string>& iv, int64_t sequence) {
  const std::optional<quorvane::aes_block> bytes = quorvane::segment_iv(iv, sequence);
  if (!bytes) {
    throw py::value_error("an IV is 32 hex digits");
  }
  std::string hex;
  for (const uint8_t byte : *bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

// One rung's window playlists joined, its segments' counters made to follow
// on, measured.
py::dict join_window_rendition(const std::vector<std::string>& parts, const std::string& output,
                               const std::string& key_info) {
  std::variant<quorvane::rendition_rates, quorvane::playlist_join_failure> joined;
  {
    py::gil_scoped_release released;
    joined = quorvane::join_rendition_windows(parts, output, key_info);
  }
  if (const auto* failed = std::get_if<quorvane::playlist_join_failure>(&joined)) {
    PyErr_SetString(failed->refused ? PyExc_ValueError : PyExc_OSError, failed->reason.c_str());
    throw py::error_already_set();
  }
  const auto& rates = std::get<quorvane::rendition_rates>(joined);
  py::dict measured;
  measured["peak"] = rates.peak;
  measured["average"] = rates.average;
  return measured;
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
             py::arg("folder"), py::arg("on_event"),
             "Plans the windows of `window_seconds` the upload splits into, writing each "
             "one's sound into `folder`; hands each window to on_event({'window': ...}) as "
             "soon as it can be encoded, and on_event({'progress': seconds}) as the pass goes "
             "on. ValueError when it cannot be split, RuntimeError when the pass failed.");
  module.def("encode_window", &encode_window, py::arg("input"), py::arg("resolution"),
             py::arg("bitrate"), py::arg("key"), py::arg("window"),
             "Encodes one window of every rung into the working directory (media playlists "
             "numbered as the whole file's, and a master of the window's renditions): "
             "{'renditions': [...], 'failures': [...]}; ValueError, naming the field, for a "
             "window that is not one plan_windows gives.");
  module.def("check_window", &check_window, py::arg("window"),
             "ValueError, naming the field, for a window encode_window would refuse");
  module.def("join_window_rendition", &join_window_rendition, py::arg("parts"),
             py::arg("output"), py::arg("key_info"),
             "Joins one rung's window playlists (in time order) into `output`, beside which "
             "their segments lie, makes the segments' MPEG-TS counters follow on across the "
             "seams and measures it: {'peak', 'average'}. ValueError when they do not join, "
             "OSError when a file cannot be read or written.");
  module.def("segment_iv", &segment_iv, py::arg("iv"), py::arg("sequence"),
             "The IV (32 hex digits) of the segment numbered `sequence` under a key line whose "
             "IV attribute is `iv` (None: it has none), as players and the muxer take it.");
  module.def("write_master", &write_master, py::arg("path"), py::arg("renditions"),
             "writes a master playlist of read_master's entries; OSError when it cannot");
  // Windows start and end on segment edges; the timeline counts in slots.
  module.attr("segment_seconds") = quorvane::segment_seconds;
  module.attr("slots_per_second") = quorvane::slots_per_second;
}
