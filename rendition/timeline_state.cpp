#include "rendition/timeline_state.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "hls/output_format.h"
#include "rendition/state_fields.h"

namespace quorvane {

namespace {

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

// The pictures a list of them holds at most.
size_t most_pictures(field_rule rule) {
  return rule == field_rule::chain_pictures ? max_chain_pictures : max_undecoded_pictures;
}

bool within(int64_t value, int64_t most) { return value >= -most && value <= most; }

// Whether `value` keeps to `rule`, in a window starting at `first_slot`.
bool keeps_to(field_rule rule, int64_t value, int64_t first_slot) {
  const bool unset = value == AV_NOPTS_VALUE;
  switch (rule) {
    case field_rule::count:
      return value >= 0 && value <= max_timeline_slot;
    case field_rule::slot:
      return within(value, max_timeline_slot);
    case field_rule::slot_or_unset:
      return unset || within(value, max_timeline_slot);
    case field_rule::slot_before_window:
      return unset || (within(value, max_timeline_slot) && value < first_slot);
    case field_rule::microseconds:
      return within(value, max_state_microseconds);
    case field_rule::microseconds_or_unset:
      return unset || within(value, max_state_microseconds);
    case field_rule::source_timestamp:
      return true;
    default:
      return false;  // a rule for other values
  }
}

bool keeps_to(field_rule rule, double value, int64_t) {
  switch (rule) {
    case field_rule::seconds:
      return std::isfinite(value) && std::fabs(value) <= max_state_seconds;
    case field_rule::fraction_of_slot:
      return std::isfinite(value) && std::fabs(value) <= 0.5;
    default:
      return false;
  }
}

bool keeps_to(field_rule rule, bool, int64_t) { return rule == field_rule::flag; }

bool keeps_to(field_rule rule, const std::multiset<double>& times, int64_t first_slot) {
  return rule == field_rule::decoder_pictures && times.size() <= most_pictures(rule) &&
         std::all_of(times.begin(), times.end(), [first_slot](double seconds) {
           return keeps_to(field_rule::seconds, seconds, first_slot);
         });
}

bool keeps_to(field_rule rule, const std::map<int64_t, int64_t>& pictures, int64_t first_slot) {
  return rule == field_rule::chain_pictures && pictures.size() <= most_pictures(rule) &&
         std::all_of(pictures.begin(), pictures.end(), [first_slot](const auto& picture) {
           return keeps_to(field_rule::slot, picture.first, first_slot) &&
                  picture.second != AV_NOPTS_VALUE;
         });
}

std::string rule_text(field_rule rule) {
  switch (rule) {
    case field_rule::flag:
      return "0 or 1";
    case field_rule::count:
      return "a count (0 to 10^15)";
    case field_rule::slot:
      return "a slot (within 10^15)";
    case field_rule::slot_or_unset:
      return "a slot (within 10^15) or unset";
    case field_rule::slot_before_window:
      return "a slot before the window, or unset";
    case field_rule::fraction_of_slot:
      return "within half a slot";
    case field_rule::seconds:
      return "seconds (finite, within 10^12)";
    case field_rule::microseconds:
      return "microseconds (within 2^62)";
    case field_rule::microseconds_or_unset:
      return "microseconds (within 2^62) or unset";
    case field_rule::source_timestamp:
      return "a timestamp";
    case field_rule::decoder_pictures:
      return "at most " + std::to_string(most_pictures(rule)) + " times in seconds";
    case field_rule::chain_pictures:
      return "at most " + std::to_string(most_pictures(rule)) +
             " pictures, each a slot and a set timestamp";
  }
  return "";
}

// Notes the first field that breaks its rule.
struct rule_check {
  int64_t first_slot;
  std::optional<std::string> refused;
  template <typename Value>
  void operator()(const char* name, const Value& value, field_rule rule) {
    if (!refused && !keeps_to(rule, value, first_slot)) {
      refused = std::string(name) + " is out of range: " + rule_text(rule);
    }
  }
};

// "<field> <why>" for the first field of `state` (a struct of the state)
// that breaks its rule in a window starting at `first_slot`.
template <typename State>
std::optional<std::string> field_refusal(const State& state, int64_t first_slot) {
  rule_check check{first_slot, std::nullopt};
  visit_fields(state, check);
  return check.refused;
}

// How fields of a state that keep to their own rules must stand to each
// other and to the window starting at `first_slot`.
struct relation {
  const char* field;  // the field named when they do not
  const char* why;
  bool (*holds)(const resume_point& point, int64_t first_slot);
};

// The sound's progress has one relation of its own, which every step of a
// sound file keeps too.
constexpr const char* sound_order_field = "sound_next_pts";
constexpr const char* sound_order_why = "does not follow sound_first_pts";
bool sound_follows(const sound_progress& sound) { return sound.next_pts >= sound.first_pts; }

// The window's first slot must be a keyframe on the call's grid: the next
// keyframe lies on that grid, at or before it, and no interval after the
// last picture. Before any picture the first one sets the grid, as in the
// call.
bool on_keyframe_grid(const resume_point& point, int64_t first_slot) {
  const picture_timeline& pictures = point.timeline.pictures;
  const int64_t next = pictures.next_keyframe_slot;
  const int64_t last = pictures.clock.last_slot;
  if (next == AV_NOPTS_VALUE) {
    return last == AV_NOPTS_VALUE && !pictures.held.holding;
  }
  return next <= first_slot && (first_slot - next) % keyframe_interval_slots == 0 &&
         (last == AV_NOPTS_VALUE || next > last - keyframe_interval_slots);
}

constexpr relation relations[] = {
    {"video_from_packet", "does not lie between the file's start and its packet",
     [](const resume_point& p, int64_t) { return p.video_from_packet <= p.packet; }},
    {"next_keyframe_slot", "is not the window's keyframe grid", on_keyframe_grid},
    {"held_slot", "is not a slot before the window",
     [](const resume_point& p, int64_t first_slot) {
       return !p.timeline.pictures.held.holding || p.timeline.pictures.held.slot < first_slot;
     }},
    {"chain_sources", "holds a picture that is not one before the window",
     [](const resume_point& p, int64_t first_slot) {
       const std::map<int64_t, int64_t>& chain = p.timeline.pictures.chain_sources;
       return chain.empty() || chain.rbegin()->first < first_slot;
     }},
    {sound_order_field, sound_order_why,
     [](const resume_point& p, int64_t) { return sound_follows(p.timeline.sound); }},
};

// Writes each field as "name=value;" (lists comma-separated).
struct field_writer {
  std::string text;
  void operator()(const char* name, int64_t value, field_rule) { add(name, number_text(value)); }
  void operator()(const char* name, double value, field_rule) { add(name, number_text(value)); }
  void operator()(const char* name, bool value, field_rule) { add(name, value ? "1" : "0"); }
  void operator()(const char* name, const std::multiset<double>& values, field_rule) {
    std::string joined;
    for (double value : values) {
      joined += (joined.empty() ? "" : ",") + number_text(value);
    }
    add(name, joined);
  }
  void operator()(const char* name, const std::map<int64_t, int64_t>& pairs, field_rule) {
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

// Reads each field from the named values; the first missing or bad one is
// the reason. Values are only taken apart here: their ranges are the
// rules', checked with the window.
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
  void refuse(const char* name, const std::string& why) {
    if (refused.empty()) {
      refused = std::string("the resume state's ") + name + " " + why;
    }
  }
  template <typename Number>
  void operator()(const char* name, Number& value, field_rule) {
    const std::string* text = find(name);
    if (text != nullptr && !parse_number(*text, value)) {
      refuse(name, "is not a finite number");
    }
  }
  void operator()(const char* name, bool& value, field_rule rule) {
    int64_t number = 0;
    (*this)(name, number, rule);
    if (number != 0 && number != 1) {
      refuse(name, "is neither 0 nor 1");
    }
    value = number != 0;
  }
  // A list's items, none when there are more than its rule allows: a long
  // one is not taken apart.
  std::vector<std::string> items(const char* name, field_rule rule) {
    const std::string* text = find(name);
    std::vector<std::string> listed = text != nullptr ? split(*text, ',') : std::vector<std::string>{};
    if (listed.size() > most_pictures(rule)) {
      refuse(name, "lists more pictures than " + std::to_string(most_pictures(rule)));
      listed.clear();
    }
    return listed;
  }
  void operator()(const char* name, std::multiset<double>& list, field_rule rule) {
    for (const std::string& item : items(name, rule)) {
      double value = 0;
      if (!parse_number(item, value)) {
        refuse(name, "holds a value that is not a finite number");
      }
      list.insert(value);
    }
  }
  void operator()(const char* name, std::map<int64_t, int64_t>& list, field_rule rule) {
    for (const std::string& item : items(name, rule)) {
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

// Why `text`, read as a state that writes `written`, is not that text:
// naming the field whose value is written otherwise, when it is in its
// place.
std::string form_refusal(const std::string& written, const std::string& text) {
  const std::vector<std::string> ours = split(written, ';');
  const std::vector<std::string> theirs = split(text, ';');
  for (size_t i = 0; i < ours.size() && i < theirs.size(); ++i) {
    if (ours[i] != theirs[i]) {
      const std::string name = ours[i].substr(0, ours[i].find('='));
      if (theirs[i].compare(0, name.size() + 1, name + "=") == 0) {
        return "the resume state's " + name + " is not in its written form";
      }
      break;
    }
  }
  return "the resume state is not in its written form";
}

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
  // Only the very text a state writes is one: no field unknown, repeated or
  // out of its place, no number written another way ("+5", "05", decimal
  // for hexadecimal).
  const std::string written = resume_text(point);
  if (written != text) {
    return form_refusal(written, text);
  }
  return point;
}

std::optional<std::string> resume_refusal(const resume_point& point, int64_t first_slot) {
  std::optional<std::string> refused = field_refusal(point, first_slot);
  for (const relation& each : relations) {
    if (!refused && !each.holds(point, first_slot)) {
      refused = std::string(each.field) + " " + each.why;
    }
  }
  if (refused) {
    return "the resume state's " + *refused;
  }
  return std::nullopt;
}

std::optional<std::string> sound_progress_refusal(const sound_progress& progress) {
  // No rule of the sound's fields depends on the window.
  std::optional<std::string> refused = field_refusal(progress, 0);
  if (!refused && !sound_follows(progress)) {
    refused = std::string(sound_order_field) + " " + sound_order_why;
  }
  return refused;
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
