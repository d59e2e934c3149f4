#include "hls/transport_counters.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "ffmpeg/ffmpeg_handles.h"
#include "ffmpeg/step_failure.h"

namespace quorvane {

namespace {

constexpr size_t packet_size = 188;
constexpr size_t block_size = 16;
constexpr int null_pid = 0x1fff;
constexpr uint8_t sync_byte = 0x47;

// The file's bytes, or why they cannot be read.
std::optional<std::string> read_file(const std::string& path, std::vector<uint8_t>& data) {
  file_ptr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return system_reason(path, "cannot be read");
  }
  long size = -1;
  if (std::fseek(file.get(), 0, SEEK_END) == 0) {
    size = std::ftell(file.get());
  }
  if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0) {
    return system_reason(path, "cannot be read");
  }
  data.resize(static_cast<size_t>(size));
  if (std::fread(data.data(), 1, data.size(), file.get()) != data.size()) {
    return std::ferror(file.get()) ? system_reason(path, "cannot be read")
                                   : path + ": cannot be read: it shrank while read";
  }
  return std::nullopt;
}

// AES-128-CBC over whole blocks of `data`, in place.
bool crypt(std::vector<uint8_t>& data, const aes_block& key, aes_block iv, bool decrypt) {
  aes_ptr aes(av_aes_alloc());
  if (!aes || av_aes_init(aes.get(), key.data(), 128, decrypt ? 1 : 0) < 0) {
    return false;
  }
  av_aes_crypt(aes.get(), data.data(), data.data(), static_cast<int>(data.size() / block_size),
               iv.data(), decrypt ? 1 : 0);
  return true;
}

// The plain transport stream of an encrypted segment: PKCS#7 padding off.
std::optional<std::vector<uint8_t>> decrypted(std::vector<uint8_t> data, const aes_block& key,
                                              const aes_block& iv) {
  if (data.empty() || data.size() % block_size != 0 || !crypt(data, key, iv, true)) {
    return std::nullopt;
  }
  const size_t padding = data.back();
  if (padding == 0 || padding > block_size) {
    return std::nullopt;
  }
  data.resize(data.size() - padding);
  if (data.size() % packet_size != 0) {
    return std::nullopt;
  }
  // Counters are only rewritten in packets: bytes that are not (a file
  // swapped in storage) would have a byte in every 188 changed.
  for (size_t at = 0; at < data.size(); at += packet_size) {
    if (data[at] != sync_byte) {
      return std::nullopt;
    }
  }
  return data;
}

// Shifts each PID's counters in `plain` to follow `counters`; notes where
// they end. True when any counter changed.
bool follow_on(std::vector<uint8_t>& plain, transport_counters& counters,
               std::map<int, int>& shifts) {
  bool changed = false;
  for (size_t at = 0; at < plain.size(); at += packet_size) {
    uint8_t* packet = plain.data() + at;
    const int pid = ((packet[1] & 0x1f) << 8) | packet[2];
    const bool has_payload = (packet[3] & 0x10) != 0;
    if (pid == null_pid) {
      continue;
    }
    if (shifts.find(pid) == shifts.end()) {
      const auto previous = counters.find(pid);
      const int own = packet[3] & 0x0f;
      const int expected = previous == counters.end() ? own
                                                      : (previous->second + (has_payload ? 1 : 0)) & 0x0f;
      shifts[pid] = (expected - own + 16) & 0x0f;
    }
    const int counter = ((packet[3] & 0x0f) + shifts[pid]) & 0x0f;
    changed = changed || shifts[pid] != 0;
    packet[3] = static_cast<uint8_t>((packet[3] & 0xf0) | counter);
    counters[pid] = counter;
  }
  return changed;
}

// Writes `data` beside `path` and renames it over `path`: empty, or why not.
std::optional<std::string> write_replacing(const std::string& path,
                                           const std::vector<uint8_t>& data) {
  const std::string temporary = path + ".counters";
  file_ptr file(std::fopen(temporary.c_str(), "wb"));
  if (!file) {
    return system_reason(temporary, "cannot be written");
  }
  const bool written = std::fwrite(data.data(), 1, data.size(), file.get()) == data.size();
  const int closed = std::fclose(file.release());
  if (!written || closed != 0) {
    std::optional<std::string> reason = system_reason(temporary, "cannot be written");
    std::remove(temporary.c_str());
    return reason;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    std::optional<std::string> reason = system_reason(path, "cannot be replaced");
    std::remove(temporary.c_str());
    return reason;
  }
  return std::nullopt;
}

}  // namespace

segment_rewrite continue_segment_counters(std::vector<uint8_t>& segment, const aes_block& key,
                                          const aes_block& iv, transport_counters& counters,
                                          std::map<int, int>& shifts) {
  std::optional<std::vector<uint8_t>> plain = decrypted(std::move(segment), key, iv);
  if (!plain) {
    return segment_rewrite::refused;
  }
  if (!follow_on(*plain, counters, shifts)) {
    return segment_rewrite::unchanged;
  }
  const size_t padding = block_size - plain->size() % block_size;
  plain->insert(plain->end(), padding, static_cast<uint8_t>(padding));
  if (!crypt(*plain, key, iv, false)) {
    return segment_rewrite::out_of_memory;
  }
  segment = std::move(*plain);
  return segment_rewrite::rewritten;
}

std::optional<std::string> continue_counters(const std::vector<std::string>& segments,
                                             const aes_block& key, const aes_block& iv,
                                             transport_counters& counters) {
  std::map<int, int> shifts;  // per PID, fixed by its first packet
  std::vector<uint8_t> data;
  for (const std::string& segment : segments) {
    if (std::optional<std::string> unread = read_file(segment, data)) {
      return unread;
    }
    switch (continue_segment_counters(data, key, iv, counters, shifts)) {
      case segment_rewrite::refused:
        return segment + ": not an MPEG-TS segment encrypted with this key";
      case segment_rewrite::out_of_memory:
        return segment + ": cannot be encrypted again: " + std::strerror(ENOMEM);
      case segment_rewrite::unchanged:
        continue;
      case segment_rewrite::rewritten:
        break;
    }
    if (std::optional<std::string> unwritten = write_replacing(segment, data)) {
      return unwritten;
    }
  }
  return std::nullopt;
}

}  // namespace quorvane
