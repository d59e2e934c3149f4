// A window's sound file as shared storage hands it over: any bytes. What
// must hold: a file that is read holds steps numbered on from its first,
// its packets in order and within bounds, and writes back byte for byte.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "fuzz_checks.h"
#include "rendition/sound_track.h"

using namespace quorvane;
using quorvane_fuzz::require;

namespace {

// The first step the header names, as the window's resume state would.
int64_t first_step_named(const uint8_t* data, size_t size) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8 && 8 + i < size; ++i) {
    value |= uint64_t{data[8 + i]} << (8 * i);
  }
  return static_cast<int64_t>(value);
}

std::string file_bytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) {
    return 0;  // fmemopen takes no empty buffer
  }
  const int64_t first_step = first_step_named(data, size);
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  require(file != nullptr, "the bytes open as a file");
  sound_track track(sound_track::unlimited);
  const std::optional<std::string> refused = read_sound_steps(file, "window.sound", first_step, track);
  std::fclose(file);
  if (refused) {
    require(!refused->empty(), "a refused file says why");
    return 0;
  }
  const std::string path = quorvane_fuzz::scratch_folder() + "/again.sound";
  std::unique_ptr<sound_file_writer> writer;
  require(!sound_file_writer::open(path, first_step, writer), "the scratch file is made");
  const int64_t first_index = track.join();
  track.seal();
  std::optional<step_failure> ended;
  int64_t last_pts = INT64_MIN;
  for (int64_t index = first_index;; ++index) {
    const std::shared_ptr<const sound_step> step = track.take(index, ended);
    if (!step) {
      break;
    }
    require(step->progress.steps == index + 1, "steps are numbered on from the first");
    require(step->progress.next_pts >= step->progress.first_pts, "the sound goes forward");
    for (const packet_ptr& packet : step->packets) {
      require(packet->size > 0 && packet->pts >= last_pts && packet->duration >= 0,
              "a sound packet holds data, in order");
      last_pts = packet->pts;
    }
    require(!writer->write(*step), "a step is written");
  }
  require(!writer->close(), "the file written is closed");
  require(file_bytes(path) == std::string(reinterpret_cast<const char*>(data), size),
          "a sound file read writes back byte for byte");
  return 0;
}
