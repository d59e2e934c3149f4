// The filter chains between a decoded picture and a rung's: the source's
// own steps, once per ladder (deinterlace, flatten transparency), then each
// rung's (scale into the frame keeping the picture's shape, convert to
// BT.709 limited range or map HDR to SDR, pad, turn upright).
#pragma once

#include <string>

#include "rendition/rendition_parts.h"

namespace quorvane {

// The properties of `picture` that the chain depends on. `interlaced_source`
// keeps a source deinterlaced once any of its pictures was interlaced, so a
// stream that mixes field and frame pictures does not rebuild its chain.
picture_format picture_format_of(const AVFrame* picture, const AVStream* stream,
                                 bool interlaced_source);

// The source's own steps, at its size, for pictures of `format`:
// deinterlace, lay transparency over black ("null" when it needs none).
std::string source_steps_description(const picture_format& format);

// A rung's steps for pictures of `format`, the source's steps done: scaled
// into a `width` x `height` frame keeping their shape, BT.709 limited range
// (HDR tone-mapped to SDR), padded, turned upright by `clockwise_rotation`.
std::string rung_steps_description(const picture_format& format, int clockwise_rotation,
                                   int width, int height);

// Builds `path.chain` for pictures of `format`; their timestamps count in
// units of `time_base`. 0, or FFmpeg's error code.
int build_video_chain(video_path& path, const picture_format& format, AVRational time_base);

// Builds a rung's chain for prepared pictures of `format`. 0, or FFmpeg's
// error code.
int build_rung_chain(filter_chain& chain, const picture_format& format, int clockwise_rotation,
                     int width, int height);

}  // namespace quorvane
