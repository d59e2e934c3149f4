// The segments a join rewrites: any bytes, encrypted as the muxer encrypts
// them, in one to three files. What must hold: a rewritten segment keeps
// every packet's 188 bytes and sync byte, only its continuity counter moved;
// each PID's counters follow on from where the part before left them, by one
// shift per PID across the part.
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

extern "C" {
#include <libavutil/aes.h>
#include <libavutil/mem.h>
}

#include "fuzz_checks.h"
#include "hls/transport_counters.h"

using namespace quorvane;
using quorvane_fuzz::require;

namespace {

constexpr size_t packet_size = 188;
constexpr std::array<uint8_t, 16> key{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr std::array<uint8_t, 16> iv{16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1};

std::string crypted(std::string bytes, bool decrypt) {
  AVAES* aes = av_aes_alloc();
  require(aes != nullptr && av_aes_init(aes, key.data(), 128, decrypt ? 1 : 0) == 0, "AES starts");
  std::array<uint8_t, 16> chain = iv;
  auto* block = reinterpret_cast<uint8_t*>(bytes.data());
  av_aes_crypt(aes, block, block, static_cast<int>(bytes.size() / 16), chain.data(), decrypt ? 1 : 0);
  av_free(aes);
  return bytes;
}

std::string encrypted(std::string plain) {
  const size_t padding = 16 - plain.size() % 16;
  plain.append(padding, static_cast<char>(padding));
  return crypted(std::move(plain), false);
}

std::string plain_of(const std::vector<uint8_t>& segment) {
  std::string bytes = crypted(std::string(segment.begin(), segment.end()), true);
  require(!bytes.empty(), "a rewritten segment is not empty");
  bytes.resize(bytes.size() - static_cast<uint8_t>(bytes.back()));
  return bytes;
}

int pid_of(const std::string& packet) {
  return ((packet[1] & 0x1f) << 8) | static_cast<uint8_t>(packet[2]);
}
int counter_of(const std::string& packet) { return packet[3] & 0x0f; }
bool has_payload(const std::string& packet) { return (packet[3] & 0x10) != 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  transport_counters counters;
  for (int pids = input.ConsumeIntegralInRange(0, 3); pids > 0; --pids) {
    counters[input.ConsumeIntegralInRange(0, 0x1fff)] = input.ConsumeIntegralInRange(0, 15);
  }
  const transport_counters before = counters;
  std::vector<std::vector<uint8_t>> segments;
  std::vector<std::string> plains;
  std::map<int, int> part_shifts;
  for (int count = input.ConsumeIntegralInRange(1, 3); count > 0; --count) {
    std::string plain = input.ConsumeRandomLengthString(4 * packet_size);
    if (input.ConsumeBool()) {
      plain.resize(plain.size() - plain.size() % packet_size);  // whole packets, as a muxer writes
      for (size_t at = 0; at < plain.size(); at += packet_size) {
        plain[at] = 0x47;
      }
    }
    const std::string sealed = encrypted(plain);
    segments.emplace_back(sealed.begin(), sealed.end());
    const segment_rewrite rewrite = continue_segment_counters(segments.back(), key, iv, counters, part_shifts);
    if (rewrite == segment_rewrite::refused) {
      return 0;  // the join stops at a segment it refuses
    }
    require(rewrite != segment_rewrite::out_of_memory, "memory for a segment");
    if (rewrite == segment_rewrite::unchanged) {
      segments.back().assign(sealed.begin(), sealed.end());
    }
    plains.push_back(std::move(plain));
  }
  transport_counters expected = before;
  std::map<int, int> shifts;
  for (size_t index = 0; index < segments.size(); ++index) {
    const std::string& was = plains[index];
    const std::string now = plain_of(segments[index]);
    require(was.size() % packet_size == 0 && now.size() == was.size(),
            "a segment joined is whole packets and keeps its length");
    for (size_t at = 0; at < was.size(); at += packet_size) {
      const std::string old_packet = was.substr(at, packet_size);
      const std::string new_packet = now.substr(at, packet_size);
      require(new_packet[0] == 0x47, "a packet joined starts with the sync byte");
      std::string masked = new_packet;
      masked[3] = static_cast<char>((masked[3] & 0xf0) | (old_packet[3] & 0x0f));
      require(masked == old_packet, "only the continuity counter of a packet changes");
      const int pid = pid_of(old_packet);
      if (pid == 0x1fff) {
        continue;
      }
      const int shift = (counter_of(new_packet) - counter_of(old_packet) + 16) & 0x0f;
      if (shifts.emplace(pid, shift).second) {
        const auto last = expected.find(pid);
        if (last != expected.end()) {
          require(counter_of(new_packet) == ((last->second + (has_payload(old_packet) ? 1 : 0)) & 0x0f),
                  "a PID's first packet follows on from the part before");
        }
      }
      require(shifts[pid] == shift, "one shift per PID across a part");
      expected[pid] = counter_of(new_packet);
    }
  }
  require(expected == counters, "the counters left are where each PID ends");
  return 0;
}
