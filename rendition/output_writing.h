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

// Hands `frame` (or the end-of-stream null) to `encoder` and writes every
// packet it gives out to `stream` of `muxer`. With `durations`, each packet
// takes (and drops) the duration recorded there for its timestamp. True when
// the encoder wants more input or is drained; false on any other failure,
// whose FFmpeg error (and whether the muxer gave it) goes to `error`. Only
// the packets `written` takes are written.
bool encode_and_write(AVCodecContext* encoder, AVFormatContext* muxer, AVStream* stream,
                      const AVFrame* frame, AVPacket* packet,
                      picture_durations* durations = nullptr,
                      media_error* error = nullptr,
                      const written_packets& written = written_packets{});

}  // namespace quorvane
