// What the driver learns of a source before it plans the ladder.
#pragma once

#include <optional>
#include <string>

#include "../ladder/rendition_ladder.h"
#include "input_guard.h"

namespace quorvane {

// Width and height of the input's best decodable video stream, as displayed
// (a stream turned by a quarter turn reports its sides swapped). Empty when
// the input cannot be opened or has no video stream, when its picture size
// is unknown or exceeds the picture-size limit, or when the input rules or `veto` refuse a file it
// asks for; a playlist is read to its end here, so that every file it lists
// has been judged before any worker starts.
std::optional<frame_size> probe_source_size(const std::string& input,
                                            const file_veto& veto = {});

}  // namespace quorvane
