// The HLS key-info file (the key's URI, the key file, an optional IV) and
// the IV rule of FFmpeg's HLS muxer. Given no IV, the muxer takes the first
// segment's number for every segment it writes (it sets the IV once) and
// says so in its key line: for a whole file, 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace quorvane {

using aes_block = std::array<uint8_t, 16>;

struct key_info {
  std::string uri;
  std::string key_file;
  std::string iv;  // 32 hex digits as written, or empty when the file gives none
};

// The key-info file at `path`, or why it cannot be read.
std::variant<key_info, std::string> read_key_info(const std::string& path);
// The same from the file's text; `name` names it in the reason.
std::variant<key_info, std::string> parse_key_info(const std::string& text, const std::string& name);

// The 16 bytes of the key file, or why they cannot be read.
std::variant<aes_block, std::string> read_key(const std::string& key_file);

// 32 hex digits (an optional 0x before them) as 16 bytes; empty when they
// are not that.
std::optional<aes_block> iv_from_hex(std::string hex);

// The IV a segment numbered `sequence` was encrypted with, from the key
// line that lists it: its IV attribute, or else the sequence number, as
// players take it.
std::optional<aes_block> segment_iv(const std::optional<std::string>& key_line_iv,
                                    int64_t sequence);

// The text of the key-info file below.
std::string whole_file_key_info_text(const key_info& info);

// Writes at `path` the key-info file a part of the file starting at a
// later segment must be given for its segments to be encrypted as the
// whole file's: `info` with the IV the muxer takes for the whole file.
// Empty on success, else why it could not be written.
std::optional<std::string> write_whole_file_key_info(const std::string& path, const key_info& info);

}  // namespace quorvane
