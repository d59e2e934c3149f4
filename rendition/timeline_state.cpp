#include "rendition/timeline_state.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "hls/output_format.h"

namespace quorvane {

namespace {

// Visits every field of a resume point by name: its one list of fields, for
// writing, reading and checking. `Point` is const for writing.
template <typename Point, typename Visit>
void visit_fields(Point& p, Visit&& visit) {
  auto& t = p.timeline;
  auto& pictures = t.pictures;
  visit("packet", p.packet);
  visit("video_from_packet", p.video_from_packet);
  visit("offset", t.continuity.offset);
  visit("next_dts_video", t.continuity.next_dts[0]);
  visit("next_dts_audio", t.continuity.next_dts[1]);
  visit("interlaced", pictures.interlaced_source);
  visit("clock_last_slot", pictures.clock.last_slot);
  visit("clock_cadence", pictures.clock.cadence_offset);
  visit("clock_has_cadence", pictures.clock.has_cadence);
  visit("next_keyframe_slot", pictures.next_keyframe_slot);
  visit("pictures_encoded", pictures.pictures_encoded);
  visit("sound_reached_slot", pictures.sound_reached_slot);
  visit("closed_slots", pictures.closed_slots);
  visit("last_packet_seconds", pictures.last_packet_seconds);
  visit("chain_output_slot", pictures.chain_output_slot);
  visit("undecoded", pictures.undecoded_seconds);
  visit("chain_sources", pictures.chain_sources);
  visit("holding", pictures.held.holding);
  visit("held_slot", pictures.held.slot);
  visit("held_picture_slot", pictures.held.picture_slot);
  visit("held_keyframe", pictures.held.keyframe);
  visit("held_repeat", pictures.held.repeat);
  visit("held_source_pts", pictures.held.source_pts);
  visit("sound_steps", t.sound.steps);
  visit("sound_first_pts", t.sound.first_pts);
  visit("sound_next_pts", t.sound.next_pts);
  visit("sound_decoded_end", t.sound.decoded_end_seconds);
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
  return end != text.c_str() && *end == '\0' && std::isfinite(value);
}

// Writes each field as "name=value;" (lists comma-separated).
struct field_writer {
  std::string text;
  void operator()(const char* name, int64_t value) { add(name, number_text(value)); }
  void operator()(const char* name, double value) { add(name, number_text(value)); }
  void operator()(const char* name, bool value) { add(name, value ? "1" : "0"); }
  void operator()(const char* name, const std::multiset<double>& values) {
    std::string joined;
    for (double value : values) {
      joined += (joined.empty() ? "" : ",") + number_text(value);
    }
    add(name, joined);
  }
  void operator()(const char* name, const std::map<int64_t, int64_t>& pairs) {
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

// Pictures the picture chain holds at most: a deinterlacer keeps one back.
constexpr size_t max_chain_sources = 16;

// Reads each field from the named values; the first missing or bad one is
// the reason.
struct field_reader {
  std::map<std::string, std::string> values;
  std::string refused;
  const std::string* find(const char* name) {
    const auto found = values.find(name);
    if (found == values.end()) {
      refuse(name, "is missing");
      return nullptr;
    }
    return &found->second;
  }
  void refuse(const char* name, const char* why) {
    if (refused.empty()) {
      refused = std::string("the resume state's ") + name + " " + why;
    }
  }
  template <typename Number>
  void operator()(const char* name, Number& value) {
    const std::string* text = find(name);
    if (text != nullptr && !parse_number(*text, value)) {
      refuse(name, "is not a finite number");
    }
  }
  void operator()(const char* name, bool& value) {
    int64_t number = 0;
    (*this)(name, number);
    if (number != 0 && number != 1) {
      refuse(name, "is neither 0 nor 1");
    }
    value = number != 0;
  }
  void operator()(const char* name, std::multiset<double>& list) {
    const std::string* text = find(name);
    const std::vector<std::string> items = text != nullptr ? split(*text, ',') : std::vector<std::string>{};
    if (items.size() > max_undecoded_pictures) {
      refuse(name, "lists more pictures than a decoder holds");
      return;
    }
    for (const std::string& item : items) {
      double value = 0;
      if (!parse_number(item, value)) {
        refuse(name, "holds a value that is not a finite number");
      }
      list.insert(value);
    }
  }
  void operator()(const char* name, std::map<int64_t, int64_t>& list) {
    const std::string* text = find(name);
    const std::vector<std::string> items = text != nullptr ? split(*text, ',') : std::vector<std::string>{};
    if (items.size() > max_chain_sources) {
      refuse(name, "lists more pictures than the picture chain holds");
      return;
    }
    for (const std::string& item : items) {
      const size_t colon = item.find(':');
      int64_t first = 0;
      int64_t second = 0;
      if (colon == std::string::npos || !parse_number(item.substr(0, colon), first) ||
          !parse_number(item.substr(colon + 1), second)) {
        refuse(name, "holds an entry that is not slot:timestamp");
      }
      list.emplace(first, second);
    }
  }
};

// Slots and sample counts beyond these are no timeline's.
constexpr int64_t max_slot = 1'000'000'000'000'000;
constexpr int64_t max_microseconds = int64_t{1} << 62;

bool is_slot(int64_t value) { return value >= -max_slot && value <= max_slot; }
bool is_slot_or_unset(int64_t value) { return value == AV_NOPTS_VALUE || is_slot(value); }

}  // namespace

std::string resume_text(const resume_point& point) {
  field_writer writer;
  visit_fields(point, writer);
  return writer.text;
}

std::variant<resume_point, std::string> parse_resume(const std::string& text) {
  field_reader reader;
  for (const std::string& field : split(text, ';')) {
    const size_t equals = field.find('=');
    if (equals == std::string::npos) {
      return std::string("the resume state is not name=value fields");
    }
    reader.values[field.substr(0, equals)] = field.substr(equals + 1);
  }
  resume_point point;
  visit_fields(point, reader);
  if (!reader.refused.empty()) {
    return reader.refused;
  }
  return point;
}

std::optional<std::string> resume_refusal(const resume_point& point, int64_t first_slot) {
  const timeline_state& t = point.timeline;
  const picture_timeline& pictures = t.pictures;
  const auto refused = [](const char* field, const char* why) {
    return std::optional<std::string>(std::string("the resume state's ") + field + " " + why);
  };
  if (point.packet < 0 || point.video_from_packet < 0 || point.video_from_packet > point.packet) {
    return refused("video_from_packet", "does not lie between the file's start and its packet");
  }
  if (std::llabs(t.continuity.offset) > max_microseconds) {
    return refused("offset", "is out of range");
  }
  for (const int64_t next : t.continuity.next_dts) {
    if (next != AV_NOPTS_VALUE && std::llabs(next) > max_microseconds) {
      return refused("next_dts", "is out of range");
    }
  }
  if (!is_slot_or_unset(pictures.clock.last_slot) ||
      (pictures.clock.last_slot != AV_NOPTS_VALUE && pictures.clock.last_slot >= first_slot)) {
    return refused("clock_last_slot", "is not a slot before the window");
  }
  if (std::fabs(pictures.clock.cadence_offset) > 0.5) {
    return refused("clock_cadence", "is out of range");
  }
  // The window's first slot must be a keyframe on the call's grid: the
  // next keyframe lies on that grid, at or before it. Before any picture the
  // first one sets the grid, as in the call.
  const bool grid_unset = pictures.next_keyframe_slot == AV_NOPTS_VALUE &&
                          pictures.clock.last_slot == AV_NOPTS_VALUE && !pictures.held.holding;
  if (!grid_unset &&
      (!is_slot(pictures.next_keyframe_slot) || pictures.next_keyframe_slot > first_slot ||
       (first_slot - pictures.next_keyframe_slot) % keyframe_interval_slots != 0 ||
       (pictures.clock.last_slot != AV_NOPTS_VALUE &&
        pictures.next_keyframe_slot <= pictures.clock.last_slot - keyframe_interval_slots))) {
    return refused("next_keyframe_slot", "is not the window's keyframe grid");
  }
  if (pictures.pictures_encoded < 0 || pictures.pictures_encoded > max_slot) {
    return refused("pictures_encoded", "is out of range");
  }
  if (!is_slot(pictures.sound_reached_slot)) {
    return refused("sound_reached_slot", "is out of range");
  }
  if (pictures.closed_slots < 0 || pictures.closed_slots > max_slot) {
    return refused("closed_slots", "is out of range");
  }
  if (std::fabs(pictures.last_packet_seconds) > 1e12) {
    return refused("last_packet_seconds", "is out of range");
  }
  if (!is_slot_or_unset(pictures.chain_output_slot) ||
      (pictures.chain_output_slot != AV_NOPTS_VALUE && pictures.chain_output_slot >= first_slot)) {
    return refused("chain_output_slot", "is not a slot before the window");
  }
  for (const double seconds : pictures.undecoded_seconds) {
    if (std::fabs(seconds) > 1e12) {
      return refused("undecoded", "holds a time out of range");
    }
  }
  for (const auto& [slot, own] : pictures.chain_sources) {
    if (!is_slot(slot) || slot >= first_slot || own == AV_NOPTS_VALUE) {
      return refused("chain_sources", "holds a picture that is not one before the window");
    }
  }
  const held_place& held = pictures.held;
  if (held.holding &&
      (!is_slot(held.slot) || !is_slot(held.picture_slot) || held.slot >= first_slot)) {
    return refused("held_slot", "is not a slot before the window");
  }
  const sound_progress& sound = t.sound;
  if (sound.steps < 0 || sound.steps > max_slot) {
    return refused("sound_steps", "is out of range");
  }
  if (sound.first_pts < 0 || sound.first_pts > max_slot || sound.next_pts < sound.first_pts ||
      sound.next_pts > max_slot) {
    return refused("sound_next_pts", "does not follow sound_first_pts within range");
  }
  if (std::fabs(sound.decoded_end_seconds) > 1e12) {
    return refused("sound_decoded_end", "is out of range");
  }
  return std::nullopt;
}

std::vector<int64_t> pictures_needed(const timeline_state& state) {
  std::vector<int64_t> needed;
  if (state.pictures.held.holding) {
    needed.push_back(state.pictures.held.source_pts);
  }
  for (const auto& [slot, source_pts] : state.pictures.chain_sources) {
    needed.push_back(source_pts);
  }
  return needed;
}

}  // namespace quorvane
