// The fields of the timeline's state as it is written down: for each struct
// its fields in the order they are written, each with its written name and
// the rule its value keeps to. The resume text, its reading, the refusal of a
// state and a sound file's record of the sound's progress all go by these
// lists, so that a field's name and range are said once.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "rendition/media_timeline.h"
#include "rendition/timeline_state.h"

namespace quorvane {

// What a field's value may be ("unset" is AV_NOPTS_VALUE).
enum class field_rule {
  flag,                   // 0 or 1
  count,                  // from 0 to max_timeline_slot
  slot,                   // within max_timeline_slot of the origin
  slot_or_unset,          //
  slot_before_window,     // a slot before the window's first, or unset
  fraction_of_slot,       // within half a slot
  seconds,                // finite, within max_state_seconds
  microseconds,           // within max_state_microseconds
  microseconds_or_unset,  //
  source_timestamp,       // a stream's own timestamp: any, or unset
  decoder_pictures,       // at most max_undecoded_pictures times, each seconds
  chain_pictures,         // at most max_chain_pictures of slot -> its source timestamp, set
};

// Times beyond these are no timeline's.
inline constexpr double max_state_seconds = 1e12;
inline constexpr int64_t max_state_microseconds = int64_t{1} << 62;
// Pictures the picture chain holds at most: a deinterlacer keeps one back.
inline constexpr size_t max_chain_pictures = 16;

template <typename Member>
struct state_field {
  const char* name;
  Member& value;
  field_rule rule;
};

template <typename Member>
state_field<Member> named(const char* name, Member& value, field_rule rule) {
  return {name, value, rule};
}

// A struct of the state within another: its own fields, written in its place.
template <typename Part>
struct state_part {
  Part& value;
};

template <typename Part>
state_part<Part> part(Part& value) {
  return {value};
}

// state_fields<T>::of(t): the fields of `t` (a T, const or not), in order.
template <typename T>
struct state_fields;

template <>
struct state_fields<continuity_state> {
  template <typename State>
  static auto of(State& s) {
    using rule = field_rule;
    return std::make_tuple(named("offset", s.offset, rule::microseconds),
                           named("next_dts_video", s.next_dts[0], rule::microseconds_or_unset),
                           named("next_dts_audio", s.next_dts[1], rule::microseconds_or_unset));
  }
};

template <>
struct state_fields<picture_clock> {
  template <typename Clock>
  static auto of(Clock& c) {
    using rule = field_rule;
    return std::make_tuple(named("clock_last_slot", c.last_slot, rule::slot_before_window),
                           named("clock_cadence", c.cadence_offset, rule::fraction_of_slot),
                           named("clock_has_cadence", c.has_cadence, rule::flag));
  }
};

template <>
struct state_fields<held_place> {
  template <typename Held>
  static auto of(Held& h) {
    using rule = field_rule;
    return std::make_tuple(named("holding", h.holding, rule::flag),
                           named("held_slot", h.slot, rule::slot),
                           named("held_picture_slot", h.picture_slot, rule::slot),
                           named("held_keyframe", h.keyframe, rule::flag),
                           named("held_repeat", h.repeat, rule::flag),
                           named("held_source_pts", h.source_pts, rule::source_timestamp));
  }
};

template <>
struct state_fields<picture_timeline> {
  template <typename Pictures>
  static auto of(Pictures& p) {
    using rule = field_rule;
    return std::make_tuple(named("interlaced", p.interlaced_source, rule::flag), part(p.clock),
                           named("next_keyframe_slot", p.next_keyframe_slot, rule::slot_or_unset),
                           named("pictures_encoded", p.pictures_encoded, rule::count),
                           named("sound_reached_slot", p.sound_reached_slot, rule::slot),
                           named("closed_slots", p.closed_slots, rule::count),
                           named("last_packet_seconds", p.last_packet_seconds, rule::seconds),
                           named("chain_output_slot", p.chain_output_slot, rule::slot_before_window),
                           named("undecoded", p.undecoded_seconds, rule::decoder_pictures),
                           named("chain_sources", p.chain_sources, rule::chain_pictures),
                           part(p.held));
  }
};

template <>
struct state_fields<sound_progress> {
  template <typename Sound>
  static auto of(Sound& s) {
    using rule = field_rule;
    return std::make_tuple(named("sound_steps", s.steps, rule::count),
                           named("sound_first_pts", s.first_pts, rule::count),
                           named("sound_next_pts", s.next_pts, rule::count),
                           named("sound_decoded_end", s.decoded_end_seconds, rule::seconds));
  }
};

template <>
struct state_fields<timeline_state> {
  template <typename State>
  static auto of(State& t) {
    return std::make_tuple(part(t.continuity), part(t.pictures), part(t.sound));
  }
};

template <>
struct state_fields<resume_point> {
  template <typename Point>
  static auto of(Point& p) {
    using rule = field_rule;
    return std::make_tuple(named("packet", p.packet, rule::count),
                           named("video_from_packet", p.video_from_packet, rule::count),
                           part(p.timeline));
  }
};

// Calls visit(name, value, rule) for every field of `state`, in order.
template <typename State, typename Visit>
void visit_fields(State& state, Visit& visit);

template <typename Member, typename Visit>
void visit_field(const state_field<Member>& field, Visit& visit) {
  visit(field.name, field.value, field.rule);
}

template <typename Part, typename Visit>
void visit_field(const state_part<Part>& inner, Visit& visit) {
  visit_fields(inner.value, visit);
}

template <typename State, typename Visit>
void visit_fields(State& state, Visit& visit) {
  std::apply([&visit](const auto&... fields) { (visit_field(fields, visit), ...); },
             state_fields<std::remove_const_t<State>>::of(state));
}

// Every member is listed: a struct's members, counted as the most
// initialisers `T{any_member{}, ...}` takes (an array takes one for each of
// its elements), must be as many as its list holds, so that a member added
// and not listed, and so neither written nor checked, fails the build.
struct any_member {
  template <typename T>
  operator T() const;  // never called: only counted
};

// Initialisers left out, or an array's taken without braces, are what is
// being counted here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-braces"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
template <typename T, typename... Members>
constexpr auto takes_initialisers(int) -> decltype(void(T{Members{}...}), true) {
  return true;
}
#pragma GCC diagnostic pop

template <typename T, typename... Members>
constexpr bool takes_initialisers(...) {
  return false;
}

template <typename T, typename... Members>
constexpr size_t member_count() {
  if constexpr (takes_initialisers<T, Members..., any_member>(0)) {
    return member_count<T, Members..., any_member>();
  } else {
    return sizeof...(Members);
  }
}

template <typename T>
constexpr bool lists_every_member =
    member_count<T>() == std::tuple_size_v<decltype(state_fields<T>::of(std::declval<T&>()))>;

static_assert(lists_every_member<continuity_state>);
static_assert(lists_every_member<picture_clock>);
static_assert(lists_every_member<held_place>);
static_assert(lists_every_member<picture_timeline>);
static_assert(lists_every_member<sound_progress>);
static_assert(lists_every_member<timeline_state>);
static_assert(lists_every_member<resume_point>);

}  // namespace quorvane
