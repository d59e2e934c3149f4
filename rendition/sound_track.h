// A ladder's sound, made once and taken by every rung. Each rung's read
// loop meets the sound at the same events (a sound packet decoded, silence
// up to the pictures for a source without sound, the tail at the end, the
// encoder drained); the track holds one step per event: what the pictures
// need to know of the sound after it, and the AAC packets the encoder gave
// out during it. Made in one call by a thread of its own and handed over in
// memory; made for a ladder split in time by its planning pass and written,
// window by window, to files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/ffmpeg_handles.h"
#include "ffmpeg/step_failure.h"
#include "rendition/handover.h"
#include "rendition/timeline_state.h"

namespace quorvane {

enum class sound_event : int32_t { packet = 1, silence = 2, tail = 3, drain = 4 };

struct sound_step {
  sound_event event = sound_event::packet;
  sound_progress progress;  // after the step
  std::vector<packet_ptr> packets;  // AAC, in the encoder's time base, in order
};

// A copy of a step, its packets' data shared; empty without memory.
std::optional<sound_step> shared_copy(const sound_step& step);

// The ladder's sound, handed from its maker to the pass that takes it.
using sound_track = handover<sound_step>;
using track_reader = handover_reader<sound_step>;
using track_maker_thread = handover_maker<sound_step>;

// Steps written to a file, and read back: what a window of a ladder split
// in time takes. A file is checked as it is read: a step out of order or
// whose progress breaks the state's rules, a packet out of range, a file
// cut short or with more after its end is refused.
class sound_file_writer {
 public:
  // Empty, with the reason, when the file cannot be made.
  static std::optional<std::string> open(const std::string& path, int64_t first_step,
                                         std::unique_ptr<sound_file_writer>& writer);
  // Empty, or why the step could not be written.
  std::optional<std::string> write(const sound_step& step);
  // Flushes the file to storage and closes it: readers on other machines
  // see it whole. Empty, or why not.
  std::optional<std::string> close();

 private:
  std::string path_;
  file_ptr file_;
};

// Reads every step of the file at `path` into `track` (which then ends), the
// first of them numbered `first_step`. Empty, or why the file is refused:
// anything but the very bytes a writer leaves.
std::optional<std::string> read_sound_file(const std::string& path, int64_t first_step,
                                           sound_track& track);

// The same, from `file` at its start (any stream: a file, or bytes in
// memory), its reasons naming it `name`.
std::optional<std::string> read_sound_steps(FILE* file, const std::string& name,
                                            int64_t first_step, sound_track& track);

}  // namespace quorvane
