// From the encoders to the HLS muxer: encoded packets written with their
// durations, and the muxer's file closes watched for failed writes.
#pragma once

#include "rendition/rendition_parts.h"

namespace quorvane {

// Makes `muxer` close its files through `watch`.
void watch_file_closes(AVFormatContext* muxer, file_close_watch& watch);

// Notes in `error` that `step` failed with FFmpeg's `code`. Always false, so
// that a step can end with `return failed_step(...)`.
bool failed_step(media_error& error, const char* step, int code);

// The failure `error` tells of, at `step` unless it names its own.
step_failure media_failure(const char* step, const media_error& error);

// Hands `frame` (or the end-of-stream null) to the picture encoder and
// writes every packet it gives out that the muxer's window writes, each
// with (and dropping) the duration recorded in `durations` for its
// timestamp. True when the encoder wants more input or is drained; false on
// any other failure, whose FFmpeg error (and whether the muxer gave it) goes
// to the muxer's error.
bool encode_and_write(AVCodecContext* encoder, hls_muxer& muxer, const AVFrame* frame,
                      picture_durations* durations);

// Writes a sound packet of the ladder's sound (AAC, in samples at the output
// rate), when the muxer's window writes it; `first_pts` is where the sound
// starts. False, with the muxer's error, when the muxer refuses it.
bool write_sound_packet(hls_muxer& muxer, const AVPacket* sound, int64_t first_pts);

}  // namespace quorvane
