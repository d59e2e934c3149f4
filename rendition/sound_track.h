// A ladder's sound, made once and taken by every rung. Each rung's read
// loop meets the sound at the same events (a sound packet decoded, silence
// up to the pictures for a source without sound, the tail at the end, the
// encoder drained); the track holds one step per event: what the pictures
// need to know of the sound after it, and the AAC packets the encoder gave
// out during it. Made in one call by a thread of its own and handed over in
// memory; made for a ladder split in time by its planning pass and written,
// window by window, to files.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ffmpeg/ffmpeg_handles.h"
#include "ffmpeg/step_failure.h"
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

// Steps handed from the one that makes them to the rungs that take them, in
// order. Each rung joins before the maker starts dropping steps (the track
// is sealed once every rung has joined); a step goes once every rung has
// taken it, and the maker waits while it is far ahead of the slowest rung,
// so a long file is never held whole.
class sound_track {
 public:
  explicit sound_track(size_t most_steps_ahead = default_steps_ahead);

  // The maker's side. Steps count from `first` (a window resuming within the
  // file starts at its own step). add is false once every rung has left: the
  // maker may stop. finish or fail ends the track.
  void start_at(int64_t first);
  bool add(sound_step step);
  void finish();
  void fail(step_failure failure);

  // A rung's side: join gives the index of the first step; leave says the
  // rung will take nothing from `next` on. seal: every rung has joined.
  int64_t join();
  void seal();
  void leave(int64_t next);

  // The step numbered `index`, waiting for it and moving the rung's place
  // past it; empty once the track ended before it, with the maker's failure
  // in `failure` when it failed.
  std::shared_ptr<const sound_step> take(int64_t index, std::optional<step_failure>& failure);

  static constexpr size_t default_steps_ahead = 8192;
  static constexpr size_t unlimited = static_cast<size_t>(-1);

 private:
  void drop_taken();  // with the lock held
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::shared_ptr<const sound_step>> steps_;
  int64_t first_index_ = 0;  // of steps_.front()
  std::multiset<int64_t> places_;  // each rung's next step
  size_t most_ahead_;
  bool sealed_ = false;
  bool ended_ = false;
  std::optional<step_failure> failure_;
};

// The thread that makes a track, joined when its owner goes, however it
// goes: the track is sealed first, so that with every reader gone the maker
// stops.
struct track_maker_thread {
  sound_track* track = nullptr;
  std::thread thread;
  track_maker_thread() = default;
  track_maker_thread(const track_maker_thread&) = delete;
  track_maker_thread& operator=(const track_maker_thread&) = delete;
  ~track_maker_thread();
};

// One rung's place in a track; it leaves the track when it ends, however
// it ends.
struct track_reader {
  sound_track* track = nullptr;
  int64_t next = 0;
  track_reader() = default;
  track_reader(const track_reader&) = delete;
  track_reader& operator=(const track_reader&) = delete;
  ~track_reader() { leave(); }
  // The next step, or empty with the reason in `failure`.
  std::shared_ptr<const sound_step> take(std::optional<step_failure>& failure);
  void leave();
};

// Steps written to a file, and read back: what a window of a ladder split
// in time takes. A file is checked as it is read: a step out of order, a
// packet out of range or a file cut short is refused.
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
// first of them numbered `first_step`. Empty, or why the file is refused.
std::optional<std::string> read_sound_file(const std::string& path, int64_t first_step,
                                           sound_track& track);

}  // namespace quorvane
