// The filter chain that turns a decoded picture into the rendition's: only
// the steps a given source needs (deinterlace, flatten transparency, map HDR
// to SDR), then scale into the frame keeping the picture's shape, convert to
// BT.709 limited range, pad, turn upright.
#pragma once

#include <string>

#include "rendition/rendition_parts.h"

namespace quorvane {

// The properties of `picture` that the chain depends on. `interlaced_source`
// keeps a source deinterlaced once any of its pictures was interlaced, so a
// stream that mixes field and frame pictures does not rebuild its chain.
picture_format picture_format_of(const AVFrame* picture, const AVStream* stream,
                                 bool interlaced_source);

// The chain's filter description, for pictures of `format` turned by
// `clockwise_rotation` degrees into a `width` x `height` frame.
std::string video_chain_description(const picture_format& format, int clockwise_rotation,
                                    int width, int height);

// Builds `path.chain` for pictures of `format`; their timestamps count in
// units of `time_base`. 0, or FFmpeg's error code.
int build_video_chain(video_path& path, const picture_format& format, AVRational time_base);

}  // namespace quorvane
