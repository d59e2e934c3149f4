// The state of the timeline between two packets of the source: everything a
// rendition carries from one moment of the file to the next (the offsets of
// joined recordings, the picture clock, the keyframe slots, the held
// picture's place, what the pictures know of the sound). A rendition that
// starts within the file from it places every later picture and sound
// exactly as a pass from the start does. Plain values, so that keeping it is
// a copy; written as exact text, so that a planning pass on one machine can
// hand it to a window's encode on another.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "rendition/media_timeline.h"

namespace quorvane {

// Where the held picture stands (the picture itself is the video path's).
struct held_place {
  bool holding = false;
  int64_t slot = 0;          // where the copy still to be encoded starts
  int64_t picture_slot = 0;  // where the picture's own time fell
  bool keyframe = false;
  bool repeat = false;  // `slot` holds a repeat, which only fills time
  int64_t source_pts = AV_NOPTS_VALUE;  // the decoded picture's own timestamp
};

// Pictures sent to the decoder and not yet out that the timeline keeps in
// mind at most: a picture kept back longer is not coming.
inline constexpr size_t max_undecoded_pictures = 64;

// Where the pictures stand.
struct picture_timeline {
  bool interlaced_source = false;  // once seen, every later picture is deinterlaced too
  picture_clock clock;
  // Keyframes fall on every 60th slot counted from the first picture's, so
  // that every segment lasts exactly 6 s whatever the source's rate.
  int64_t next_keyframe_slot = AV_NOPTS_VALUE;
  int64_t pictures_encoded = 0;
  // How far the sound has reached, in slots: pauses in the pictures are
  // bridged only as far as something plays through them.
  int64_t sound_reached_slot = 0;
  int64_t closed_slots = 0;  // jumps in the pictures' times taken out, in slots
  double last_packet_seconds = 0;  // the latest video packet read, on the timeline
  std::multiset<double> undecoded_seconds;  // pictures sent to the decoder, not yet out
  int64_t chain_output_slot = AV_NOPTS_VALUE;  // the last picture out of the chain
  std::map<int64_t, int64_t> chain_sources;  // pictures inside the chain: slot -> own timestamp
  held_place held;
};

// What the pictures know of the ladder's sound: how many of its steps were
// taken, and what the last one told.
struct sound_progress {
  int64_t steps = 0;
  int64_t first_pts = 0;  // where the sound starts, in samples at 44100 Hz from the origin
  int64_t next_pts = 0;   // how far blocks went to the encoder, the same way
  double decoded_end_seconds = 0;  // how far the sound was decoded, after the origin
};

struct timeline_state {
  continuity_state continuity;
  picture_timeline pictures;
  sound_progress sound;
};

// Where a rendition may start within the file: the state before the packet
// numbered `packet` (packets of the two streams, from 0), and the packet its
// pictures are decoded from (a keyframe at or before every picture the state
// refers to).
struct resume_point {
  int64_t packet = 0;
  int64_t video_from_packet = 0;
  timeline_state timeline;
};

// Exact text (floating point in hexadecimal), and back: the reason, naming
// the field, when the text is not a resume point, or not the very text
// resume_text writes for the point it holds. The fields and their rules are
// listed in rendition/state_fields.h.
std::string resume_text(const resume_point& point);
std::variant<resume_point, std::string> parse_resume(const std::string& text);

// Why a window of slots [first_slot, end_slot) cannot start from `point`:
// a field out of its range, or fields inconsistent with each other or with
// the window (its keyframes off the window's grid, pictures referred to
// that lie past its start). Empty when it can.
std::optional<std::string> resume_refusal(const resume_point& point, int64_t first_slot);

// Why `progress` (a step's, read back from a sound file) is not one a pass
// makes: "<field> <why>", the field by its name in the resume state. Empty
// when it is.
std::optional<std::string> sound_progress_refusal(const sound_progress& progress);

// The picture timestamps a resumed rendition must have decoded: the held
// picture and those inside the picture chain.
std::vector<int64_t> pictures_needed(const timeline_state& state);

}  // namespace quorvane
