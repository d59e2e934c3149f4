#include "ladder/ladder_driver.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <set>
#include <system_error>
#include <utility>

#include "hls/master_playlist.h"
#include "hls/output_format.h"
#include "ladder/output_collisions.h"
#include "rendition/ladder_passes.h"
#include "rendition/rung_encoder.h"
#include "source/source_probe.h"

namespace quorvane {

std::thread start_std_thread(std::function<void()> body) { return std::thread(std::move(body)); }

namespace {

constexpr const char* planning_step = "planning the ladder";
constexpr const char* thread_step = "starting its thread";
constexpr const char* worker_step = "running the worker";

struct running_worker {
  size_t position = 0;  // in the caller's list of names
  rendition planned;
  rendition_outcome outcome;  // written by the worker thread, read after join
  rung_reader reader;  // its place in the hand-over, left when it ends
  std::thread thread;
};

// What the worker's outcome is when it threw. Without memory for the text,
// the failure stays, without its reason.
void record_throw(rendition_outcome& outcome, const char* what) noexcept {
  try {
    outcome = rendition_outcome{
        step_failure{worker_step, what != nullptr ? std::string("it threw: ") + what
                                                  : "it threw an exception of unknown type"},
        ""};
  } catch (...) {
    outcome.failure.emplace();
  }
}

// Runs one worker; nothing it throws may leave the thread, or the whole
// process would end in std::terminate.
void run_worker_guarded(const rendition_worker& worker, std::string input, std::string playlist,
                        int32_t width, int32_t height, int32_t bitrate, std::string key,
                        rung_reader* reader, rendition_outcome& outcome) noexcept {
  try {
    outcome = worker(std::move(input), std::move(playlist), width, height, bitrate,
                     std::move(key), reader);
  } catch (const std::exception& error) {
    record_throw(outcome, error.what());
  } catch (...) {
    record_throw(outcome, nullptr);
  }
  if (reader != nullptr) {
    reader->leave();  // whatever it took, it takes no more
  }
}

std::string ladder_names() {
  std::string names;
  for (const ladder_row& row : rendition_ladder) {
    names += (names.empty() ? "" : ", ") + std::string(row.name);
  }
  return names;
}

// Why a rung gets no worker; empty when it gets one.
std::optional<step_failure> skip_reason(bool known, bool repeated, bool threads_refused) {
  if (!known) {
    return step_failure{planning_step, "no rung of that name; the ladder has " + ladder_names()};
  }
  if (repeated) {
    return step_failure{planning_step, "named again; the rung is encoded once"};
  }
  if (threads_refused) {
    return step_failure{thread_step, "not started: the system refused an earlier rung's thread"};
  }
  return std::nullopt;
}

std::string thread_refusal_text(const std::exception_ptr& refusal) {
  try {
    std::rethrow_exception(refusal);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "the system refused a thread";
  }
}

// The failures in the caller's order, leaving out the positions that have none.
std::vector<rung_failure> in_caller_order(std::vector<std::optional<rung_failure>> by_position) {
  std::vector<rung_failure> failures;
  for (std::optional<rung_failure>& failure : by_position) {
    if (failure) {
      failures.push_back(std::move(*failure));
    }
  }
  return failures;
}

}  // namespace

rendition_worker ladder_rung_worker(int64_t first_slot, int64_t end_slot) {
  return [first_slot, end_slot](std::string, std::string playlist, int32_t width, int32_t height,
                                int32_t bitrate, std::string key, rung_reader* reader) {
    if (reader == nullptr) {
      return rendition_outcome{step_failure{worker_step, "nothing is handed to it"}, ""};
    }
    rung_plan plan;
    plan.width = width;
    plan.height = height;
    plan.bitrate = bitrate;
    plan.playlist = std::move(playlist);
    plan.key = std::move(key);
    plan.first_slot = first_slot;
    plan.end_slot = end_slot;
    return encode_rung(*reader, plan);
  };
}

namespace {

// The largest frame any rung of `resolution` has for a source of `size`.
frame_box largest_frame(const std::vector<std::string>& resolution, const display_size& size) {
  frame_box largest;
  for (const std::string& name : resolution) {
    if (const std::optional<frame_size> frame = resolve_frame_size(name, size.width, size.height)) {
      largest.width = std::max<int>(largest.width, frame->width);
      largest.height = std::max<int>(largest.height, frame->height);
    }
  }
  return largest;
}

}  // namespace

std::vector<rung_failure> run_ladder(std::string input, std::string output,
                                     std::vector<std::string> resolution,
                                     std::vector<int32_t> bitrate, std::string key,
                                     const rendition_worker& worker,
                                     const thread_starter& start_thread,
                                     const ladder_passes& passes) {
  // 1. A master playlist that would replace a rendition's file, or an input
  //    that is one of the files written (by any name, or listed by a
  //    playlist input), would destroy what the call reads or makes: nothing
  //    is written. The files are planned before anything is opened.
  const written_files planned = plan_written_files(rendition_names(resolution), output);
  if (std::optional<step_failure> collision = master_collision(planned)) {
    return {rung_failure{all_rungs, std::move(*collision)}};
  }
  // 2. Probe the source; without a decodable video stream, or with one the
  //    input rules refuse, nothing happens.
  const file_veto written_by_this_call = [&planned](const std::string& resolved,
                                                    const file_identity& identity) {
    return is_written_by_call(planned, resolved, identity);
  };
  const probed_source source = probe_source_size(input, written_by_this_call);
  if (source.failure) {
    return {rung_failure{all_rungs, *source.failure}};
  }
  // 3. Give every name a bitrate.
  fill_missing_bitrates(resolution, bitrate);

  // 4. One thread per resolved name, in list order. A repeated name is encoded
  //    once: two workers on the same files would corrupt each other's output.
  //    A deque keeps each worker's `outcome` slot in place as it grows.
  std::vector<std::optional<rung_failure>> failures(resolution.size());
  // What the rungs encode is made once, on a thread of its own, for the
  // rungs to take; joined after them.
  handover_maker<rung_event> maker;
  maker.track = passes.rungs;
  if (passes.rungs != nullptr && passes.make) {
    try {
      maker.thread = std::thread(passes.make, largest_frame(resolution, source.size));
    } catch (...) {
      passes.rungs->fail({"starting the pictures' thread",
                          thread_refusal_text(std::current_exception())});
    }
  }
  std::deque<running_worker> workers;
  std::set<std::string> started_names;
  bool threads_refused = false;
  for (size_t i = 0; i < resolution.size(); ++i) {
    const std::string& name = resolution[i];
    const std::optional<frame_size> size =
        resolve_frame_size(name, source.size.width, source.size.height);
    const bool repeated = size && !started_names.insert(name).second;
    if (std::optional<step_failure> skipped =
            skip_reason(size.has_value(), repeated, threads_refused)) {
      failures[i] = rung_failure{name, std::move(*skipped)};
      continue;
    }
    running_worker& slot = workers.emplace_back();
    slot.position = i;
    slot.planned = rendition{name, size->width, size->height, bitrate[i]};
    // Until the worker says how it ended.
    slot.outcome.failure = step_failure{worker_step, "the worker did not run"};
    rung_reader* reader = nullptr;
    if (passes.rungs != nullptr) {
      slot.reader.join(*passes.rungs);
      reader = &slot.reader;
    }
    try {
      slot.thread = start_thread(
          [&worker, &outcome = slot.outcome, input_path = input,
           playlist = media_playlist_name(name), width = size->width, height = size->height,
           rate = bitrate[i], key_path = key, reader]() mutable {
            run_worker_guarded(worker, std::move(input_path), std::move(playlist), width, height,
                               rate, std::move(key_path), reader, outcome);
          });
    } catch (...) {
      // The system refused a thread: start no more, finish what runs.
      failures[i] = rung_failure{name, {thread_step, thread_refusal_text(std::current_exception())}};
      workers.pop_back();
      threads_refused = true;
    }
  }

  if (passes.rungs != nullptr) {
    passes.rungs->seal();  // every rung has its place
  }

  // 5. Wait for every worker, in start order.
  for (running_worker& running : workers) {
    if (running.thread.joinable()) {
      running.thread.join();
    }
  }

  // 6. List only the renditions whose media playlist was completed, with
  //    the rates measured from what they wrote; each other one says why.
  std::vector<listed_rendition> finished;
  for (running_worker& running : workers) {
    if (!running.outcome.completed()) {
      failures[running.position] = rung_failure{running.planned.name, *running.outcome.failure};
      continue;
    }
    const std::optional<rendition_rates> rates =
        measure_rendition_rates(media_playlist_name(running.planned.name));
    if (!rates) {
      failures[running.position] = rung_failure{
          running.planned.name,
          {"measuring the rendition", "its media playlist or a segment cannot be read"}};
      continue;
    }
    const rendition& made = running.planned;
    finished.push_back(listed_rendition{made.name, made.width, made.height, *rates,
                                        std::move(running.outcome.video_codec)});
  }
  std::vector<rung_failure> reported = in_caller_order(std::move(failures));
  if (std::optional<step_failure> unwritten = write_master_playlist(output, finished)) {
    reported.push_back(rung_failure{all_rungs, std::move(*unwritten)});
  }
  return reported;
}

std::vector<rung_failure> hls_encoder(std::string input, std::string output,
                                      std::vector<std::string> resolution,
                                      std::vector<int32_t> bitrate, std::string key) {
  // Every rung's pictures and sound are the same: made once, by passes of
  // their own.
  rung_handover rungs = make_rung_handover();
  ladder_passes passes;
  passes.rungs = &rungs;
  passes.make = [&rungs, input](frame_box largest_frame) {
    make_call_passes(input, largest_frame, rungs);
  };
  return run_ladder(std::move(input), std::move(output), std::move(resolution),
                    std::move(bitrate), std::move(key), ladder_rung_worker(0, unbounded_slot), start_std_thread, passes);
}

}  // namespace quorvane
