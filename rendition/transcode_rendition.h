// One rendition of the ladder: the input's best video stream scaled, turned
// upright and encoded to H.264, its best audio stream loudness-normalised and
// encoded to AAC, both written as AES-128 encrypted HLS segments.
#pragma once

#include <cstdint>
#include <string>

#include "rendition/rendition_outcome.h"

namespace quorvane {

// Says whether the rendition's media playlist was completed (its trailer
// written) and, if not, which step failed and why. Partial files stay on disk.
rendition_outcome transcode_rendition(std::string input, std::string playlist, int32_t width, int32_t height,
                         int32_t bitrate, std::string key);

}  // namespace quorvane
