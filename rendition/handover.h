// Steps handed from the one pass that makes them to the rungs that take
// them, in order: the ladder's sound, and the pictures and events every rung
// encodes. Each reader joins before the maker starts dropping steps (the
// hand-over is sealed once every reader has joined); a step goes once every
// reader has taken it, and the maker waits while it is far ahead of the
// slowest reader, so a long file is never held whole. A reader that leaves
// (it ended, or failed) holds nobody back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "ffmpeg/step_failure.h"

namespace quorvane {

inline constexpr size_t unlimited_steps = static_cast<size_t>(-1);

template <typename Step>
class handover {
 public:
  // At most `most_steps_ahead` steps, and steps of at most
  // `most_weight_ahead` weight added up, between the maker and the slowest
  // reader. `taking` names what a reader does, for its failures.
  explicit handover(size_t most_steps_ahead = default_steps_ahead,
                    size_t most_weight_ahead = unlimited_steps,
                    const char* taking = "taking the sound")
      : most_ahead_(most_steps_ahead), most_weight_(most_weight_ahead), taking_(taking) {}

  // The maker's side. Steps count from `first`. add is false once every
  // reader has left: the maker may stop. finish or fail ends the hand-over.
  void start_at(int64_t first) {
    const std::lock_guard<std::mutex> lock(mutex_);
    first_index_ = first;
  }
  bool add(std::shared_ptr<const Step> step, size_t weight = 0) {
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return abandoned() || room_for(weight); });
    if (abandoned()) {
      return false;
    }
    steps_.emplace_back(std::move(step), weight);
    weight_ += weight;
    made_.notify_all();
    return true;
  }
  void finish() { end(std::nullopt); }
  void fail(step_failure failure) { end(std::move(failure)); }

  // A reader's side: join gives the index of the first step; leave says the
  // reader takes nothing from `next` on. seal: every reader has joined.
  int64_t join() {
    const std::lock_guard<std::mutex> lock(mutex_);
    places_.insert(first_index_);
    return first_index_;
  }
  void seal() {
    const std::lock_guard<std::mutex> lock(mutex_);
    sealed_ = true;
    drop_taken();
    room_.notify_all();
  }
  void leave(int64_t next) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto place = places_.find(next);
    if (place != places_.end()) {
      places_.erase(place);
    }
    drop_taken();
    room_.notify_all();
  }

  // The step numbered `index`, waiting for it and moving the reader's place
  // past it; empty once the hand-over ended before it, with the maker's
  // failure in `failure` when it failed.
  std::shared_ptr<const Step> take(int64_t index, std::optional<step_failure>& failure) {
    std::unique_lock<std::mutex> lock(mutex_);
    made_.wait(lock, [&] { return ended_ || index < end_index(); });
    if (index < first_index_ || index >= end_index()) {
      failure = failure_ ? failure_
                         : step_failure{taking_, index < first_index_ ? "the step was dropped"
                                                                      : "it ended before the step"};
      return nullptr;
    }
    std::shared_ptr<const Step> step = steps_[static_cast<size_t>(index - first_index_)].first;
    const auto place = places_.find(index);
    if (place != places_.end()) {
      places_.erase(place);
      places_.insert(index + 1);
    }
    // Only the maker waits on the readers, and only for room: a reader that
    // is not the slowest frees nothing, and a wakeup for each picture taken
    // costs a context switch on a busy core.
    if (drop_taken()) {
      room_.notify_all();
    }
    return step;
  }

  static constexpr size_t default_steps_ahead = 8192;
  static constexpr size_t unlimited = unlimited_steps;

 private:
  int64_t end_index() const { return first_index_ + static_cast<int64_t>(steps_.size()); }
  bool abandoned() const { return sealed_ && places_.empty(); }
  bool room_for(size_t weight) const {
    const bool steps_room = most_ahead_ == unlimited_steps || steps_.size() < most_ahead_;
    const bool weight_room =
        weight == 0 || most_weight_ == unlimited_steps || weight_ + weight <= most_weight_ ||
        weight_ == 0;
    return steps_room && weight_room;
  }
  void end(std::optional<step_failure> failure) {
    const std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    failure_ = std::move(failure);
    made_.notify_all();
  }
  // With the lock held: the steps every reader has taken go; true when any went.
  bool drop_taken() {
    if (!sealed_) {
      return false;
    }
    const int64_t slowest = places_.empty() ? end_index() : *places_.begin();
    const int64_t first = first_index_;
    while (!steps_.empty() && first_index_ < slowest) {
      weight_ -= steps_.front().second;
      steps_.pop_front();
      ++first_index_;
    }
    return first_index_ != first;
  }

  std::mutex mutex_;
  std::condition_variable made_;  // a step added, or the end: readers wait on it
  std::condition_variable room_;  // steps dropped, or readers gone: the maker waits on it
  std::deque<std::pair<std::shared_ptr<const Step>, size_t>> steps_;  // with each one's weight
  int64_t first_index_ = 0;  // of steps_.front()
  size_t weight_ = 0;        // of steps_
  std::multiset<int64_t> places_;  // each reader's next step
  size_t most_ahead_;
  size_t most_weight_;
  const char* taking_;
  bool sealed_ = false;
  bool ended_ = false;
  std::optional<step_failure> failure_;
};

// One reader's place in a hand-over; it leaves when it ends, however it ends.
template <typename Step>
struct handover_reader {
  handover<Step>* track = nullptr;
  int64_t next = 0;
  handover_reader() = default;
  handover_reader(const handover_reader&) = delete;
  handover_reader& operator=(const handover_reader&) = delete;
  ~handover_reader() { leave(); }
  // Joins `from`, at its first step.
  void join(handover<Step>& from) {
    track = &from;
    next = from.join();
  }
  // The next step, or empty with the reason in `failure`.
  std::shared_ptr<const Step> take(std::optional<step_failure>& failure) {
    std::shared_ptr<const Step> step = track->take(next, failure);
    if (step) {
      ++next;
    }
    return step;
  }
  void leave() {
    if (track != nullptr) {
      track->leave(next);
      track = nullptr;
    }
  }
};

// The thread that makes a hand-over's steps, joined when its owner goes,
// however it goes: the hand-over is sealed first, so that with every reader
// gone the maker stops.
template <typename Step>
struct handover_maker {
  handover<Step>* track = nullptr;
  std::thread thread;
  handover_maker() = default;
  handover_maker(const handover_maker&) = delete;
  handover_maker& operator=(const handover_maker&) = delete;
  ~handover_maker() {
    if (thread.joinable()) {
      track->seal();
      thread.join();
    }
  }
};

}  // namespace quorvane
