// Opening one pass through the source: the demuxer and its decoders, the
// encoders with every rung's fixed settings, the HLS muxer of a rendition,
// and the packets and frames its paths reuse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "rendition/rendition_parts.h"

namespace quorvane {

// Empty when a step succeeded, else what failed and why.
using step_result = std::optional<step_failure>;

// What a pass opens: the pictures prepared for the rungs, timed or skipped;
// its sound made here or taken from the ladder's track (no audio decoder
// then).
struct pass_plan {
  picture_use pictures = picture_use::encoded;
  sound_origin sound = sound_origin::made;
  // Taken sound: whether the track holds silence for a source without sound
  // (a window's, which its planning pass made) or not (a call's, made by a
  // pass over the sound alone: each rendition then makes its own silence).
  bool silence_taken = false;
  // The frame of the chain when the pictures are timed.
  int32_t width = 0;
  int32_t height = 0;
};

// Steps 1 to 5: the input, its two streams and the decoders the pass needs.
step_result open_source(source_input& source, video_path& video, sound_path& sound,
                        const std::string& input, const pass_plan& plan);

// Steps 6 to 8: the H.264 encoder (none when `video` is null) and the AAC
// encoder, with every rung's fixed settings.
step_result open_encoders(codec_context_ptr* video, codec_context_ptr& audio, int32_t width,
                          int32_t height, int32_t bitrate);

// Steps 9 to 14: the HLS muxer writing `playlist` with the key of the
// key-info file `key`, its streams and options, and its header; its
// segments numbered from the muxer's window's first segment.
step_result open_muxer(hls_muxer& muxer, const AVCodecContext* video, const AVCodecContext* audio,
                       const std::string& playlist, const std::string& key);

// Steps 15 to 18: the loudness chain of sound made here, packets and
// frames. The picture chain is built for the first decoded picture, whose
// properties it depends on.
step_result prepare_paths(source_input& source, video_path& video, sound_path& sound);

// The RFC 6381 name of the encoder's H.264 stream ("avc1.64001f"); empty
// when there is none.
std::string h264_codec_name(const AVCodecContext* encoder);

}  // namespace quorvane
