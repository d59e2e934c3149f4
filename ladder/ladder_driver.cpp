#include "ladder_driver.h"

#include <deque>
#include <set>
#include <system_error>
#include <utility>

#include "../rendition/source_probe.h"
#include "../rendition/transcode_rendition.h"
#include "master_playlist.h"
#include "output_collisions.h"

namespace quorvane {

std::string rendition_playlist_name(const std::string& name) { return name + ".m3u8"; }

std::thread start_std_thread(std::function<void()> body) { return std::thread(std::move(body)); }

namespace {

struct running_worker {
  rendition planned;
  rendition_outcome outcome;  // written by the worker thread, read after join
  std::thread thread;
};

// Runs one worker; nothing it throws may leave the thread, or the whole
// process would end in std::terminate.
void run_worker_guarded(const rendition_worker& worker, std::string input, std::string playlist,
                        int32_t width, int32_t height, int32_t bitrate, std::string key,
                        rendition_outcome& outcome) noexcept {
  try {
    outcome = worker(std::move(input), std::move(playlist), width, height, bitrate,
                     std::move(key));
  } catch (const std::exception& error) {
    outcome.failure = step_failure{"encoding", error.what()};
  } catch (...) {
    outcome.failure = step_failure{"encoding", "unknown exception"};
  }
}

}  // namespace

void run_ladder(std::string input, std::string output, std::vector<std::string> resolution,
                std::vector<int32_t> bitrate, std::string key, const rendition_worker& worker,
                const thread_starter& start_thread) {
  // 1. A master playlist that would replace a rendition's file, or an input
  //    that is one of the files written (by any name, or listed by a
  //    playlist input), would destroy what the call reads or makes: nothing
  //    is written. The files are planned before anything is opened.
  const written_files planned = plan_written_files(rendition_names(resolution), output);
  if (master_overwrites_rendition(planned)) {
    return;
  }
  // 2. Probe the source; without a decodable video stream, or with one the
  //    input rules refuse, nothing happens.
  const file_veto written_by_this_call = [&planned](const std::string& resolved,
                                                    const file_identity& identity) {
    return is_written_by_call(planned, resolved, identity);
  };
  const std::optional<frame_size> source = probe_source_size(input, written_by_this_call);
  if (!source) {
    return;
  }
  // 3. Give every name a bitrate.
  fill_missing_bitrates(resolution, bitrate);

  // 4. One thread per resolved name, in list order. A repeated name is encoded
  //    once: two workers on the same files would corrupt each other's output.
  //    A deque keeps each worker's `finished` slot in place as it grows.
  std::deque<running_worker> workers;
  std::set<std::string> started_names;
  for (size_t i = 0; i < resolution.size(); ++i) {
    const std::string& name = resolution[i];
    const std::optional<frame_size> size = resolve_frame_size(name, source->width, source->height);
    if (!size || !started_names.insert(name).second) {
      continue;
    }
    running_worker& slot = workers.emplace_back();
    slot.planned = rendition{name, size->width, size->height, bitrate[i]};
    try {
      slot.thread = start_thread(
          [&worker, &outcome = slot.outcome, input_path = input,
           playlist = rendition_playlist_name(name), width = size->width, height = size->height,
           rate = bitrate[i], key_path = key]() mutable {
            run_worker_guarded(worker, std::move(input_path), std::move(playlist), width, height,
                               rate, std::move(key_path), outcome);
          });
    } catch (...) {
      // The system refused a thread: start no more, finish what runs.
      workers.pop_back();
      break;
    }
  }

  // 5. Wait for every worker, in start order.
  for (running_worker& running : workers) {
    if (running.thread.joinable()) {
      running.thread.join();
    }
  }

  // 6. List only the renditions whose media playlist was completed, with
  //    the rates measured from what they wrote.
  std::vector<std::pair<rendition, std::string>> finished;
  for (running_worker& running : workers) {
    if (running.outcome.completed()) {
      finished.emplace_back(std::move(running.planned), std::move(running.outcome.video_codec));
    }
  }
  write_master_playlist(output, measure_renditions(finished));
}

void hls_encoder(std::string input, std::string output, std::vector<std::string> resolution,
                 std::vector<int32_t> bitrate, std::string key) {
  run_ladder(std::move(input), std::move(output), std::move(resolution), std::move(bitrate),
             std::move(key), transcode_rendition);
}

}  // namespace quorvane
