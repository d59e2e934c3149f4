// Decoded pictures to the H.264 encoder: placing each on the 1/30 s grid,
// the picture chain, and holding the last picture while the sound runs on.
#pragma once

#include "rendition_parts.h"

namespace quorvane {

// Video branch of the read loop for `source.packet`. False ends the rendition.
bool decode_video_packet(video_path& path, source_input& source, hls_muxer& muxer);

// Drains the decoder and the picture chain into the encoder; the encoder
// itself is drained by finish_video, once the sound's end is known.
void flush_video_pictures(video_path& path, source_input& source, hls_muxer& muxer);

// Repeats the last picture on the grid until `end_seconds` after the origin
// is covered, then drains the encoder into the muxer.
void finish_video(video_path& path, hls_muxer& muxer, double end_seconds);

// True once at least one picture reached the encoder.
bool has_pictures(const video_path& path);

}  // namespace quorvane
