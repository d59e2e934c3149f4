// The whole call on a mutated upload: the bytes are the upload, encoded to
// the smallest rung with a key, as a caller's hls_encoder would. What must
// hold: a clear refusal (every failure names its step and reason), or a
// ladder whose every segment FFmpeg reads back to its end without an error.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include "ffmpeg/ffmpeg_handles.h"
#include "fuzz_checks.h"
#include "hls/key_info.h"
#include "hls/m3u8.h"
#include "ladder/ladder_driver.h"
#include "source/opened_input.h"

using namespace quorvane;
using quorvane_fuzz::require;
namespace fs = std::filesystem;

namespace {

constexpr char key_bytes[] = "0123456789abcdef";

struct scratch {
  std::string upload;
  std::string ladder;  // the folder the call writes in
  std::string key_info;
};

const scratch& places() {
  static const scratch made = [] {
    scratch folders;
    const std::string base = quorvane_fuzz::scratch_folder();
    folders.upload = base + "/upload";
    folders.ladder = base + "/ladder";
    folders.key_info = base + "/enc.keyinfo";
    fs::create_directories(folders.ladder);
    quorvane_fuzz::write_file(base + "/enc.key", key_bytes);
    // Players fetch the key by its URI, relative to the playlist.
    quorvane_fuzz::write_file(folders.key_info, "../enc.key\n" + base + "/enc.key\n");
    // The renditions are written where the call runs.
    require(chdir(folders.ladder.c_str()) == 0, "the ladder's folder is entered");
    return folders;
  }();
  return made;
}

std::string hex_of(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const char byte : bytes) {
    hex += digits[(static_cast<uint8_t>(byte) >> 4) & 15];
    hex += digits[static_cast<uint8_t>(byte) & 15];
  }
  return hex;
}

// Reads every packet of one encrypted segment as MPEG-TS; true when FFmpeg
// finds no error on the way. The format is named: FFmpeg's probe does not
// recognise a transport stream of a few packets (a ladder of one picture).
bool segment_reads_back(const std::string& path, const std::string& key_hex, const std::string& iv_hex) {
  AVDictionary* options = nullptr;
  av_dict_set(&options, "decryption_key", key_hex.c_str(), 0);
  av_dict_set(&options, "decryption_iv", iv_hex.c_str(), 0);
  AVFormatContext* opened = nullptr;
  const int open = avformat_open_input(&opened, ("crypto:" + path).c_str(),
                                       av_find_input_format("mpegts"), &options);
  av_dict_free(&options);
  if (open < 0) {
    return false;
  }
  input_context_ptr input(opened);
  packet_ptr packet(av_packet_alloc());
  int read = 0;
  while ((read = av_read_frame(input.get(), packet.get())) >= 0) {
    av_packet_unref(packet.get());
  }
  return read == AVERROR_EOF;
}

// Every segment the media playlist lists reads back, with the key it names.
bool reads_back(const std::string& folder, const std::string& playlist_name, const std::string& key) {
  const std::optional<m3u8_playlist> playlist = read_m3u8_file(folder + "/" + playlist_name);
  if (!playlist || !playlist->ended) {
    return false;
  }
  std::optional<std::string> iv;
  int64_t sequence = playlist->media_sequence;
  size_t segments = 0;
  for (const m3u8_reference& reference : playlist->references) {
    if (reference.tag == "#EXT-X-KEY") {
      iv = m3u8_attribute(reference.attributes, "IV");
    } else if (is_segment(reference)) {
      const std::optional<aes_block> segment_iv_bytes = segment_iv(iv, sequence++);
      if (!segment_iv_bytes ||
          !segment_reads_back(folder + "/" + reference.uri, hex_of(key),
                              hex_of(std::string(segment_iv_bytes->begin(), segment_iv_bytes->end())))) {
        return false;
      }
      ++segments;
    }
  }
  return segments > 0;
}

}  // namespace

// FFmpeg's log would drown the fuzzer's own.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  av_log_set_level(AV_LOG_QUIET);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const scratch& folders = places();
  for (const fs::directory_entry& entry : fs::directory_iterator(folders.ladder)) {
    fs::remove_all(entry.path());
  }
  quorvane_fuzz::write_file(folders.upload, std::string(reinterpret_cast<const char*>(data), size));
  const std::string master = folders.ladder + "/master.m3u8";
  const std::vector<rung_failure> failures =
      hls_encoder(folders.upload, master, {"360p"}, {400000}, folders.key_info);
  for (const rung_failure& failure : failures) {
    require(!failure.failure.step.empty() && !failure.failure.reason.empty(),
            "a failure names its step and its reason");
  }
  if (failures.empty()) {
    require(reads_back(folders.ladder, "360p.m3u8", key_bytes), "a ladder made reads back without an error");
  }
  return 0;
}
