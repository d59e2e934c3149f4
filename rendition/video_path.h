// Decoded pictures to the H.264 encoder: timing, scaling, turning upright.
#pragma once

#include "rendition_resources.h"

namespace quorvane {

// Builds the filter chain that turns scaled pictures upright; does nothing
// for an unrotated source.
bool setup_picture_turn(rendition_resources& worker, int clockwise_degrees);

// The size the scaler produces: the encoder's size, or its sides swapped when
// a quarter turn follows.
int scaled_width(const rendition_resources& worker);
int scaled_height(const rendition_resources& worker);

// Encodes one decoded picture, or skips it when its timestamp does not move
// past the last encoded picture's. False when the picture could not be
// scaled or the encoder or muxer failed.
bool encode_picture(rendition_resources& worker, stream_timing& timing);

// Video branch of the read loop for the packet in `worker.input_packet`.
// False ends the rendition.
bool decode_video_packet(rendition_resources& worker, stream_timing& timing);

// Drains the video decoder into the encoder, then the encoder into the muxer.
void flush_video(rendition_resources& worker, stream_timing& timing);

}  // namespace quorvane
