// A window's resume state as it comes from the broker: any text. What must
// hold: a state that is read writes back exactly the text it was read from;
// a state a window lets through keeps the window's arithmetic in range.
#include <cstdint>
#include <string>
#include <variant>

#include "fuzz_checks.h"
#include "hls/output_format.h"
#include "rendition/timeline_state.h"
#include "ladder/ladder_windows.h"
#include "rendition/window_admission.h"

using namespace quorvane;
using quorvane_fuzz::require;

namespace {

// The windows worth trying for a state: the first segments, the segments
// around the slots the state itself names, and the last window there can be.
std::vector<int64_t> windows_to_try(const resume_point& point) {
  const picture_timeline& pictures = point.timeline.pictures;
  std::vector<int64_t> slots{segment_slots, 2 * segment_slots, int64_t{1} << 50};
  for (const int64_t named : {pictures.next_keyframe_slot, pictures.clock.last_slot,
                              pictures.held.slot}) {
    if (named != AV_NOPTS_VALUE && named > 0 && named < (int64_t{1} << 50)) {
      slots.push_back(named / segment_slots * segment_slots);
      slots.push_back((named / segment_slots + 1) * segment_slots);
    }
  }
  return slots;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::variant<resume_point, std::string> read = parse_resume(text);
  if (const std::string* refused = std::get_if<std::string>(&read)) {
    require(!refused->empty(), "a refused state says why");
    return 0;
  }
  const resume_point& point = std::get<resume_point>(read);
  require(resume_text(point) == text, "a state read writes back the text it was read from");
  for (const int64_t first_slot : windows_to_try(point)) {
    ladder_window window_planned;
    window_planned.part.first_slot = first_slot;
    window_planned.part.resume = point;
    if (window_refusal(window_planned)) {
      continue;  // the gate a window's message goes through
    }
    // What a window does with a state it took: none of it may overflow.
    const sound_progress& sound = point.timeline.sound;
    window_admission window;
    window.first_slot = first_slot;
    window.end_slot = first_slot + segment_slots;
    window.pre_roll_slots = picture_pre_roll_slots(1.0 / 30);
    // The encoder's first packet starts one AAC frame (1024 samples) early.
    require(first_sound_packet_from(first_slot, sound.first_pts) >= sound.first_pts - 1024,
            "a window's sound starts no earlier than the sound's first packet");
    admits_sound_packet(window, sound.first_pts, sound.next_pts);
    reaches_slot(window, sound.first_pts, first_slot, window.pre_roll_slots);
    passed_window_end(window, sound.first_pts, window.end_slot);
    require(pictures_needed(point.timeline).size() <= 1 + 16,
            "a window decodes at most the held picture and the chain's");
  }
  return 0;
}
