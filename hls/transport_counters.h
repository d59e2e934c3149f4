// MPEG-TS continuity counters across segments written by separate muxers.
// Each packet carries a 4-bit counter per PID that advances with every
// packet that has a payload; demuxers take a jump for lost packets and mark
// what follows as corrupt. Segments of a ladder encoded in windows of time
// come from one muxer per window, each counting from zero: joined, their
// counters are made to follow on as one muxer's would.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hls/key_info.h"

namespace quorvane {

// The last counter of each PID.
using transport_counters = std::map<int, int>;

// Rewrites the counters of `segments` (AES-128-CBC encrypted with `key` and
// `iv`, as the HLS muxer writes them) so that each PID's follow on from
// `counters`, then leaves in `counters` where they end. A PID absent from
// `counters` keeps its own. Each rewritten segment replaces its file in one
// rename. Empty on success, else the reason.
std::optional<std::string> continue_counters(const std::vector<std::string>& segments,
                                             const aes_block& key, const aes_block& iv,
                                             transport_counters& counters);

enum class segment_rewrite { unchanged, rewritten, refused, out_of_memory };

// The same for one segment's bytes, in memory: rewritten in place. `shifts`
// holds each PID's shift, fixed by its first packet in the part.
segment_rewrite continue_segment_counters(std::vector<uint8_t>& segment, const aes_block& key,
                                          const aes_block& iv, transport_counters& counters,
                                          std::map<int, int>& shifts);

}  // namespace quorvane
