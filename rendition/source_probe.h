// What the driver learns of a source before it plans the ladder.
#pragma once

#include <optional>
#include <string>

#include "../ladder/rendition_ladder.h"

namespace quorvane {

// Width and height of the input's best decodable video stream, as displayed
// (a stream turned by a quarter turn reports its sides swapped).
std::optional<frame_size> probe_source_size(const std::string& input);

}  // namespace quorvane
