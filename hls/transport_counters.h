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

namespace quorvane {

// The last counter of each PID.
using transport_counters = std::map<int, int>;

// Rewrites the counters of `segments` (AES-128-CBC encrypted with `key` and
// `iv`, as the HLS muxer writes them) so that each PID's follow on from
// `counters`, then leaves in `counters` where they end. A PID absent from
// `counters` keeps its own. Each rewritten segment replaces its file in one
// rename. Empty on success, else the reason.
std::optional<std::string> continue_counters(const std::vector<std::string>& segments,
                                             const std::array<uint8_t, 16>& key,
                                             const std::array<uint8_t, 16>& iv,
                                             transport_counters& counters);

}  // namespace quorvane
