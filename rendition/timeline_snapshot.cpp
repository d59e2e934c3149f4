#include "rendition/timeline_snapshot.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

extern "C" {
#include <libavutil/audio_fifo.h>
}

namespace quorvane {

namespace {

// Visits every field of a snapshot by name, for writing and for reading.
template <typename Visit>
void visit_fields(timeline_snapshot& s, Visit&& visit) {
  visit("packets", s.packets);
  visit("offset", s.offset);
  visit("next_dts_video", s.next_dts[0]);
  visit("next_dts_audio", s.next_dts[1]);
  visit("interlaced", s.interlaced_source);
  visit("clock_last_slot", s.clock.last_slot);
  visit("clock_cadence", s.clock.cadence_offset);
  visit("clock_has_cadence", s.clock.has_cadence);
  visit("next_keyframe_slot", s.next_keyframe_slot);
  visit("pictures_encoded", s.pictures_encoded);
  visit("sound_reached_slot", s.sound_reached_slot);
  visit("closed_slots", s.closed_slots);
  visit("last_packet_seconds", s.last_packet_seconds);
  visit("chain_output_slot", s.chain_output_slot);
  visit("undecoded", s.undecoded_seconds);
  visit("chain_sources", s.chain_sources);
  visit("holding", s.holding);
  visit("held_slot", s.held.slot);
  visit("held_picture_slot", s.held.picture_slot);
  visit("held_keyframe", s.held.keyframe);
  visit("held_repeat", s.held.repeat);
  visit("held_source_pts", s.held.source_pts);
  visit("sound_started", s.sound.started);
  visit("sound_next", s.sound.next_seconds);
  visit("sound_drift", s.sound.drift_seconds);
  visit("sound_unstamped", s.sound.unstamped_seconds);
  visit("next_packet_pts", s.stamps.next_pts);
  visit("packet_claimed", s.stamps.claimed_seconds);
  visit("packet_decoded", s.stamps.decoded_seconds);
  visit("first_pts", s.first_pts);
  visit("next_pts", s.next_pts);
  visit("samples_to_skip", s.samples_to_skip);
  visit("fifo_samples", s.fifo_samples);
  visit("video_from_packet", s.video_from_packet);
  visit("sound_from_seconds", s.sound_from_seconds);
}

std::string number_text(int64_t value) { return std::to_string(value); }

std::string number_text(double value) {
  char text[64] = {};
  std::snprintf(text, sizeof text, "%a", value);
  return text;
}

bool parse_number(const std::string& text, int64_t& value) {
  errno = 0;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return errno == 0 && end != text.c_str() && *end == '\0';
}

bool parse_number(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end != text.c_str() && *end == '\0';
}

// Writes each field as "name=value;" (lists comma-separated).
struct field_writer {
  std::string text;
  void operator()(const char* name, int64_t& value) { add(name, number_text(value)); }
  void operator()(const char* name, double& value) { add(name, number_text(value)); }
  void operator()(const char* name, bool& value) { add(name, value ? "1" : "0"); }
  void operator()(const char* name, std::vector<double>& values) {
    std::string joined;
    for (double value : values) {
      joined += (joined.empty() ? "" : ",") + number_text(value);
    }
    add(name, joined);
  }
  void operator()(const char* name, std::vector<std::pair<int64_t, int64_t>>& pairs) {
    std::string joined;
    for (const auto& [first, second] : pairs) {
      joined += (joined.empty() ? "" : ",") + number_text(first) + ":" + number_text(second);
    }
    add(name, joined);
  }
  void add(const char* name, const std::string& value) { text += std::string(name) + "=" + value + ";"; }
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) {
    parts.push_back(part);
  }
  return parts;
}

// Reads each field from the named values; notes any that is missing or bad.
struct field_reader {
  std::map<std::string, std::string> values;
  bool complete = true;
  const std::string* find(const char* name) {
    const auto found = values.find(name);
    if (found == values.end()) {
      complete = false;
      return nullptr;
    }
    return &found->second;
  }
  template <typename Number>
  void operator()(const char* name, Number& value) {
    const std::string* text = find(name);
    complete = complete && text != nullptr && parse_number(*text, value);
  }
  void operator()(const char* name, bool& value) {
    int64_t number = 0;
    (*this)(name, number);
    value = number != 0;
  }
  void operator()(const char* name, std::vector<double>& list) {
    const std::string* text = find(name);
    for (const std::string& item : text != nullptr ? split(*text, ',') : std::vector<std::string>{}) {
      double value = 0;
      complete = complete && parse_number(item, value);
      list.push_back(value);
    }
  }
  void operator()(const char* name, std::vector<std::pair<int64_t, int64_t>>& list) {
    const std::string* text = find(name);
    for (const std::string& item : text != nullptr ? split(*text, ',') : std::vector<std::string>{}) {
      const size_t colon = item.find(':');
      int64_t first = 0;
      int64_t second = 0;
      complete = complete && colon != std::string::npos &&
                 parse_number(item.substr(0, colon), first) &&
                 parse_number(item.substr(colon + 1), second);
      list.emplace_back(first, second);
    }
  }
};

}  // namespace

timeline_snapshot take_snapshot(const source_input& source, const video_path& video,
                                const audio_path& audio, int64_t packets) {
  timeline_snapshot s;
  s.packets = packets;
  s.offset = source.continuity.offset;
  s.next_dts[0] = source.continuity.next_dts[0];
  s.next_dts[1] = source.continuity.next_dts[1];
  s.interlaced_source = video.interlaced_source;
  s.clock = video.clock;
  s.next_keyframe_slot = video.next_keyframe_slot;
  s.pictures_encoded = video.pictures_encoded;
  s.sound_reached_slot = video.sound_reached_slot;
  s.closed_slots = video.closed_slots;
  s.last_packet_seconds = video.last_packet_seconds;
  s.chain_output_slot = video.chain_output_slot;
  s.undecoded_seconds.assign(video.undecoded_seconds.begin(), video.undecoded_seconds.end());
  s.chain_sources.assign(video.chain_sources.begin(), video.chain_sources.end());
  s.holding = video.held.picture && video.held.picture->buf[0] != nullptr;
  s.held.slot = video.held.slot;
  s.held.picture_slot = video.held.picture_slot;
  s.held.keyframe = video.held.keyframe;
  s.held.repeat = video.held.repeat;
  s.held.source_pts = video.held.source_pts;
  s.sound = audio.clock;
  s.stamps = audio.stamps;
  s.first_pts = audio.first_pts;
  s.next_pts = audio.next_pts;
  s.samples_to_skip = audio.samples_to_skip;
  s.fifo_samples = audio.fifo ? av_audio_fifo_size(audio.fifo.get()) : 0;
  return s;
}

void restore_snapshot(const timeline_snapshot& s, source_input& source, video_path& video,
                      audio_path& audio) {
  source.continuity.offset = s.offset;
  source.continuity.next_dts[0] = s.next_dts[0];
  source.continuity.next_dts[1] = s.next_dts[1];
  video.interlaced_source = s.interlaced_source;
  video.clock = s.clock;
  video.next_keyframe_slot = s.next_keyframe_slot;
  video.pictures_encoded = s.pictures_encoded;
  video.sound_reached_slot = s.sound_reached_slot;
  video.closed_slots = s.closed_slots;
  video.last_packet_seconds = s.last_packet_seconds;
  video.chain_output_slot = s.chain_output_slot;
  video.undecoded_seconds = std::multiset<double>(s.undecoded_seconds.begin(), s.undecoded_seconds.end());
  video.chain_sources = std::map<int64_t, int64_t>(s.chain_sources.begin(), s.chain_sources.end());
  video.held.slot = s.held.slot;
  video.held.picture_slot = s.held.picture_slot;
  video.held.keyframe = s.held.keyframe;
  video.held.repeat = s.held.repeat;
  video.held.source_pts = s.held.source_pts;
  audio.clock = s.sound;
  audio.stamps = s.stamps;
  audio.first_pts = s.first_pts;
  audio.next_pts = s.next_pts;
  audio.samples_to_skip = s.samples_to_skip;
}

std::vector<int64_t> pictures_needed(const timeline_snapshot& snapshot) {
  std::vector<int64_t> needed;
  if (snapshot.holding) {
    needed.push_back(snapshot.held.source_pts);
  }
  for (const auto& [slot, source_pts] : snapshot.chain_sources) {
    needed.push_back(source_pts);
  }
  return needed;
}

std::string snapshot_text(const timeline_snapshot& snapshot) {
  timeline_snapshot copy = snapshot;
  field_writer writer;
  visit_fields(copy, writer);
  return writer.text;
}

std::optional<timeline_snapshot> parse_snapshot(const std::string& text) {
  field_reader reader;
  for (const std::string& field : split(text, ';')) {
    const size_t equals = field.find('=');
    if (equals == std::string::npos) {
      return std::nullopt;
    }
    reader.values[field.substr(0, equals)] = field.substr(equals + 1);
  }
  timeline_snapshot snapshot;
  visit_fields(snapshot, reader);
  if (!reader.complete) {
    return std::nullopt;
  }
  return snapshot;
}

}  // namespace quorvane
