// The filter chains between a decoded picture and a rung's: the source's
// own steps, once per ladder (deinterlace, flatten transparency, map HDR to
// SDR), then each rung's (scale into the frame keeping the picture's shape,
// convert to BT.709 limited range, pad, turn upright).
#pragma once

#include <string>

#include "rendition/rendition_parts.h"

namespace quorvane {

// The properties of `picture` that the chain depends on. `interlaced_source`
// keeps a source deinterlaced once any of its pictures was interlaced, so a
// stream that mixes field and frame pictures does not rebuild its chain.
picture_format picture_format_of(const AVFrame* picture, const AVStream* stream,
                                 bool interlaced_source);

// The source's own steps for pictures of `format`: deinterlace, lay
// transparency over black, map HDR to SDR ("null" when it needs none). At the
// source's size, but an HDR picture larger than `largest_frame` (the largest
// rung's frame, upright) is first scaled into it: each rung scales from there.
std::string source_steps_description(const picture_format& format, int clockwise_rotation,
                                     frame_box largest_frame);

// What the source's steps make of pictures of `format`: the format the
// rungs' chains are built for.
picture_format prepared_format(const picture_format& format, int clockwise_rotation,
                               frame_box largest_frame);

// A rung's steps for pictures of `format`, the source's steps done: scaled
// into a `width` x `height` frame keeping their shape, BT.709 limited range
// (HDR tone-mapped to SDR when the source's steps did not), padded, turned
// upright by `clockwise_rotation`.
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
