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
#include "rendition/sound_track.h"
#include "rendition/transcode_rendition.h"

namespace quorvane {

// Produces one rendition, its sound as `sound` says, and says how it ended.
using rendition_worker =
    std::function<rendition_outcome(std::string input, std::string playlist, int32_t width,
                                    int32_t height, int32_t bitrate, std::string key,
                                    const rendition_sound& sound)>;

// Where the rungs of a ladder take their sound: every rung a reader of
// `track` (registered before its thread starts). `make`, when given, makes
// the track on a thread of its own once the rungs are known (a call's
// sound pass); without it the track is made already (a window's file).
struct ladder_sound {
  sound_track* track = nullptr;
  bool carries_silence = false;
  std::function<void()> make;
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
                                     const ladder_sound& sound = {});

std::vector<rung_failure> hls_encoder(std::string input, std::string output,
                                      std::vector<std::string> resolution,
                                      std::vector<int32_t> bitrate, std::string key);

}  // namespace quorvane
