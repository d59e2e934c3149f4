// An upload that is a playlist, opened under the input guard as a call
// opens it, beside a segment it may name: any bytes. What must hold: the
// guard refuses it or FFmpeg opens it, and nothing breaks either way.
#include <cstdint>
#include <string>

#include <sys/stat.h>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz_checks.h"
#include "source/input_guard.h"

using namespace quorvane;

// FFmpeg's log would drown the fuzzer's own.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (text.rfind("#EXTM3U", 0) != 0) {
    return 0;  // FFmpeg reads nothing else as a playlist
  }
  const std::string folder = quorvane_fuzz::scratch_folder() + "/upload";
  mkdir(folder.c_str(), 0700);
  const std::string path = folder + "/upload.m3u8";
  quorvane_fuzz::write_file(path, text);
  guarded_open opened = open_guarded_input(path);
  if (opened.context != nullptr) {
    read_stream_info(opened.context);
  }
  close_guarded_input(opened.context);
  return 0;
}
