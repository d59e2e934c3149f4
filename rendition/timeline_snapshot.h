// The state of the timeline between two packets of the source: everything a
// rendition carries from one moment of the file to the next (the offsets of
// joined recordings, the picture clock, the keyframe count, the held
// picture, the sound clock, the AAC frame grid). A rendition that starts
// within the file from such a snapshot places every later picture and sound
// exactly as a pass from the start does. Written as text, so that a planning
// pass on one machine can hand it to a window's encode on another.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "rendition/rendition_parts.h"

namespace quorvane {

// Where the held picture stands, without the picture.
struct held_place {
  int64_t slot = 0;
  int64_t picture_slot = 0;
  bool keyframe = false;
  bool repeat = false;
  int64_t source_pts = AV_NOPTS_VALUE;
};

struct timeline_snapshot {
  int64_t packets = 0;  // packets of the two streams read before it
  // source_input
  int64_t offset = 0;
  int64_t next_dts[2] = {AV_NOPTS_VALUE, AV_NOPTS_VALUE};
  // video_path
  bool interlaced_source = false;
  picture_clock clock;
  int64_t next_keyframe_slot = AV_NOPTS_VALUE;
  int64_t pictures_encoded = 0;
  int64_t sound_reached_slot = 0;
  int64_t closed_slots = 0;
  double last_packet_seconds = 0;
  int64_t chain_output_slot = AV_NOPTS_VALUE;
  std::vector<double> undecoded_seconds;
  std::vector<std::pair<int64_t, int64_t>> chain_sources;  // slot, picture's own timestamp
  bool holding = false;
  held_place held;
  // audio_path
  sound_clock sound;
  restated_timestamps stamps;
  int64_t first_pts = 0;
  int64_t next_pts = 0;
  int64_t samples_to_skip = 0;
  int64_t fifo_samples = 0;
  // Where a rendition resuming here starts decoding, before the snapshot's
  // packet: pictures from this packet on (a keyframe before the pictures
  // the state refers to), sound from this time on (the loudness chain
  // hears some seconds before it gives out what is written).
  int64_t video_from_packet = 0;
  double sound_from_seconds = 0;
};

timeline_snapshot take_snapshot(const source_input& source, const video_path& video,
                                const audio_path& audio, int64_t packets);

// Puts the snapshot's state into the paths; the pictures and sound the
// state refers to are the caller's to restore.
void restore_snapshot(const timeline_snapshot& snapshot, source_input& source, video_path& video,
                      audio_path& audio);

// The picture timestamps a resumed rendition must have decoded: the held
// picture and those inside the picture chain.
std::vector<int64_t> pictures_needed(const timeline_snapshot& snapshot);

// Exact text form (floating point in hexadecimal), and back; empty when the
// text is not a snapshot.
std::string snapshot_text(const timeline_snapshot& snapshot);
std::optional<timeline_snapshot> parse_snapshot(const std::string& text);

}  // namespace quorvane
