// The key-info file a call and a window's join are given: any bytes. What
// must hold: a key-info that is read names one line each, its IV is 16
// bytes; the key-info a window is given for it reads back as the same key.
#include <cstdint>
#include <string>
#include <variant>

#include "fuzz_checks.h"
#include "hls/key_info.h"

using namespace quorvane;
using quorvane_fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::variant<key_info, std::string> read =
      parse_key_info(std::string(reinterpret_cast<const char*>(data), size), "upload.keyinfo");
  if (std::holds_alternative<std::string>(read)) {
    return 0;
  }
  const key_info& info = std::get<key_info>(read);
  for (const std::string* line : {&info.uri, &info.key_file, &info.iv}) {
    require(line->find('\n') == std::string::npos, "a key-info field is one line");
  }
  require(info.iv.empty() || iv_from_hex(info.iv).has_value(), "an IV read is 16 bytes");
  const std::variant<key_info, std::string> again =
      parse_key_info(whole_file_key_info_text(info), "whole.keyinfo");
  require(std::holds_alternative<key_info>(again), "a window's key-info reads back");
  const key_info& back = std::get<key_info>(again);
  require(back.uri == info.uri && back.key_file == info.key_file,
          "a window's key-info names the same key");
  require(*iv_from_hex(back.iv) == (info.iv.empty() ? aes_block{} : *iv_from_hex(info.iv)),
          "a window's key-info gives the whole file's IV");
  return 0;
}
