// Where the FFmpeg series we build against (5.1 to 7.1) differ: each
// difference is one small function, so the code that uses it has no #if.
#pragma once

#include <cstdint>

extern "C" {
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace quorvane {

// A stream's display matrix (nine 32-bit values), or null when it has none.
const int32_t* stream_display_matrix(const AVStream* stream);

// True when a decoded picture is flagged as interlaced.
bool frame_is_interlaced(const AVFrame* picture);

// Tells a picture buffer source the pictures' colour matrix and range, where
// the FFmpeg series has those fields; earlier ones take them from each
// picture.
void set_buffersrc_colour(AVBufferSrcParameters* parameters, AVColorSpace matrix,
                          AVColorRange range);

}  // namespace quorvane
