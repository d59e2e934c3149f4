#include "hls/key_info.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "ffmpeg/ffmpeg_handles.h"
#include "ffmpeg/step_failure.h"

namespace quorvane {

namespace {

std::string trimmed(std::string line) {
  line.erase(line.find_last_not_of(" \t\r\n") + 1);
  line.erase(0, line.find_first_not_of(" \t"));
  return line;
}

int hex_digit(char digit) {
  if (digit >= '0' && digit <= '9') {
    return digit - '0';
  }
  if (digit >= 'a' && digit <= 'f') {
    return digit - 'a' + 10;
  }
  if (digit >= 'A' && digit <= 'F') {
    return digit - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::variant<key_info, std::string> parse_key_info(const std::string& text,
                                                   const std::string& name) {
  std::istringstream lines(text);
  key_info info;
  std::string iv;
  if (!std::getline(lines, info.uri) || !std::getline(lines, info.key_file)) {
    return name + ": a key-info file holds the key's URI and the key file's path";
  }
  std::getline(lines, iv);
  info.uri = trimmed(info.uri);
  info.key_file = trimmed(info.key_file);
  info.iv = trimmed(iv);
  if (!info.iv.empty() && !iv_from_hex(info.iv)) {
    return name + ": its IV is not 32 hex digits";
  }
  return info;
}

std::variant<key_info, std::string> read_key_info(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return system_reason(path, "cannot be read");
  }
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) {
    return system_reason(path, "cannot be read");
  }
  return parse_key_info(text.str(), path);
}

std::variant<aes_block, std::string> read_key(const std::string& key_file) {
  file_ptr file(std::fopen(key_file.c_str(), "rb"));
  if (!file) {
    return system_reason(key_file, "cannot be read");
  }
  aes_block key{};
  if (std::fread(key.data(), 1, key.size(), file.get()) != key.size()) {
    return key_file + ": shorter than a 16-byte key";
  }
  return key;
}

std::optional<aes_block> iv_from_hex(std::string hex) {
  if (hex.rfind("0x", 0) == 0 || hex.rfind("0X", 0) == 0) {
    hex.erase(0, 2);
  }
  if (hex.size() != 32) {
    return std::nullopt;
  }
  aes_block bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    const int high = hex_digit(hex[2 * i]);
    const int low = hex_digit(hex[2 * i + 1]);
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return bytes;
}

std::optional<aes_block> segment_iv(const std::optional<std::string>& key_line_iv,
                                    int64_t sequence) {
  if (key_line_iv && !key_line_iv->empty()) {
    return iv_from_hex(*key_line_iv);
  }
  aes_block iv{};
  for (int i = 0; i < 8; ++i) {
    iv[15 - i] = static_cast<uint8_t>(static_cast<uint64_t>(sequence) >> (8 * i));
  }
  return iv;
}

std::string whole_file_key_info_text(const key_info& info) {
  // The whole file's first segment is numbered 0.
  return info.uri + "\n" + info.key_file + "\n" + (info.iv.empty() ? std::string(32, '0') : info.iv) +
         "\n";
}

std::optional<std::string> write_whole_file_key_info(const std::string& path,
                                                     const key_info& info) {
  file_ptr file(std::fopen(path.c_str(), "w"));
  if (!file) {
    return system_reason(path, "cannot be written");
  }
  const std::string text = whole_file_key_info_text(info);
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  FILE* closing = file.release();
  if (std::fclose(closing) != 0 || !written) {
    return system_reason(path, "cannot be written");
  }
  return std::nullopt;
}

}  // namespace quorvane
