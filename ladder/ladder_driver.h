// The body of hls_encoder: refuse a call that would overwrite its own files,
// probe the source, plan the ladder, run one worker thread per rendition,
// then write the master playlist; say which rungs failed and why.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ladder/rendition_ladder.h"
#include "rendition/rendition_outcome.h"
#include "rendition/rung_events.h"

namespace quorvane {

// Produces one rendition from what `reader` takes (null: the worker has
// no hand-over) and says how it ended.
using rendition_worker =
    std::function<rendition_outcome(std::string input, std::string playlist, int32_t width,
                                    int32_t height, int32_t bitrate, std::string key,
                                    rung_reader* reader)>;

// A rung of a ladder writing slots [first_slot, end_slot) of its timeline:
// it encodes what the ladder's passes hand over.
rendition_worker ladder_rung_worker(int64_t first_slot, int64_t end_slot);

// Where the rungs of a ladder take what they encode: every rung a reader of
// `rungs` (joined before its thread starts). `make` makes it, on a thread
// of its own once the rungs are known.
struct ladder_passes {
  rung_handover* rungs = nullptr;
  std::function<void(frame_box largest_frame)> make;
};

// Starts a thread running `body`; may throw std::system_error like std::thread.
using thread_starter = std::function<std::thread(std::function<void()> body)>;

std::thread start_std_thread(std::function<void()> body);

// A rung that failed or was skipped, and why: `rung` is the name the caller
// gave, or all_rungs when the whole call was refused before any started.
struct rung_failure {
  std::string rung;
  step_failure failure;
};
inline constexpr const char* all_rungs = "all rungs";

// The driver with its worker and thread creation passed in, so that tests can
// run it with a stand-in worker. Returns once every worker has ended, with
// one failure per rung that failed or was skipped, in the caller's order;
// empty when every rung was completed.
std::vector<rung_failure> run_ladder(std::string input, std::string output,
                                     std::vector<std::string> resolution,
                                     std::vector<int32_t> bitrate, std::string key,
                                     const rendition_worker& worker,
                                     const thread_starter& start_thread = start_std_thread,
                                     const ladder_passes& passes = {});

std::vector<rung_failure> hls_encoder(std::string input, std::string output,
                                      std::vector<std::string> resolution,
                                      std::vector<int32_t> bitrate, std::string key);

}  // namespace quorvane
