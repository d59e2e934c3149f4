// What a call may read on behalf of its input. The input is untrusted: its
// content can name further files or URLs (an HLS playlist disguised as an
// mp4, a concat script, a QuickTime reference) and its pictures can be far
// larger than the file. Only the input file itself is read, and for an input
// named as a playlist (.m3u8, .m3u) the regular files it lists inside its own
// folder. No network or pseudo protocol is ever used, nothing that is not a
// regular file is ever opened, and pictures past a size limit are refused.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "ffmpeg/step_failure.h"
#include "source/file_paths.h"

namespace quorvane {

// The largest source picture accepted: 8192 on either side and 36 million
// pixels, which admits 8K UHD (7680x4320, 33.2 million) and refuses the
// square 8192x8192 pictures a few kilobytes of PNG can declare.
inline constexpr int32_t max_picture_side = 8192;
inline constexpr int64_t max_picture_area = 36'000'000;

// What a decoder may allocate for one picture. Decoders check the picture
// with its width padded (up to 64 columns) and its height rounded up to
// whole coding blocks (up to 64 rows), so they get that much room past the
// area limit; a picture that passes the probe still decodes.
inline constexpr int64_t decoder_max_pixels =
    max_picture_area + 64 * int64_t{2} * max_picture_side + 64 * 64;

// True when a picture of this size is within the limit.
bool picture_size_allowed(int width, int height);

// A decoder context held to decoder_max_pixels, as avcodec_alloc_context3.
AVCodecContext* alloc_decoder_context(const AVCodec* decoder);

// A further refusal, on top of the rules, for a file the input asks to read:
// given its path with every symbolic link resolved and its identity, true
// refuses it. The driver refuses files the call itself is about to write.
using file_veto = std::function<bool(const std::string& resolved, const file_identity& identity)>;

// True when `path` ends in .m3u8 or .m3u (in any case): such an input is read
// as an HLS playlist, and the files it lists may be read too.
bool is_playlist_path(const std::string& path);

// The steps an input's failure names: a rule refused a file ("input
// refused"), or FFmpeg or the system could not open it ("opening the input").
inline constexpr const char* input_refused_step = "input refused";
inline constexpr const char* opening_input_step = "opening the input";

// A demuxer opened under the rules, or why there is none.
struct guarded_open {
  AVFormatContext* context = nullptr;   // closed with close_guarded_input
  std::optional<step_failure> failure;  // set exactly when `context` is null
};

// Opens `path` as a demuxer under the rules above (stream information not yet
// read). Fails when `path` is not a regular file, when FFmpeg cannot open it,
// or when a rule or `veto` refused any file the opening asked for. A playlist
// input is read first, and refused when any entry or URI attribute names a
// protocol or a file outside its folder (through one nested playlist level),
// before FFmpeg sees it: what FFmpeg would do with such an entry depends on
// how it was built. The caller closes the context with close_guarded_input,
// which input_context_ptr does.
guarded_open open_guarded_input(const std::string& path, const file_veto& veto = {});

// avformat_find_stream_info with every decoder it opens held to
// decoder_max_pixels, so that reading stream information cannot allocate a
// picture past the limit either.
int read_stream_info(AVFormatContext* input);

// Why a rule refused a file that `input` asked for; empty while none was.
// Once one was, reading stops at once (FFmpeg's interrupt callback), and the
// input must be given up like one that could not be opened.
std::optional<step_failure> input_refused(const AVFormatContext* input);

// Closes any demuxer, and frees the rules of one opened by open_guarded_input.
void close_guarded_input(AVFormatContext* input);

}  // namespace quorvane
