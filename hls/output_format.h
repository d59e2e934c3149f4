// What every rendition is, whatever its source: the picture grid, the
// keyframe interval, the sound, the segment length and the file names. The
// transcoder writes by these; the ladder plans and guards its files by them.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

namespace quorvane {

// Pictures sit on a grid of 1/30 s slots; the timeline counts in them.
inline constexpr int slots_per_second = 30;
inline constexpr AVRational grid_time_base{1, slots_per_second};
inline constexpr AVRational grid_frame_rate{slots_per_second, 1};

inline constexpr double slot_seconds(int64_t slot) {
  return static_cast<double>(slot) / slots_per_second;
}

// Every rung's pictures are BT.709 in limited range, and say so.
inline constexpr AVColorPrimaries output_primaries = AVCOL_PRI_BT709;
inline constexpr AVColorTransferCharacteristic output_transfer = AVCOL_TRC_BT709;
inline constexpr AVColorSpace output_matrix = AVCOL_SPC_BT709;
inline constexpr AVColorRange output_range = AVCOL_RANGE_MPEG;

// A keyframe every 60 slots: every 2 s of the timeline.
inline constexpr int keyframe_interval_slots = 60;

// AAC-LC stereo at 44100 Hz, 128 kb/s; "mp4a.40.2" is its RFC 6381 name.
inline constexpr int output_sample_rate = 44100;
inline constexpr int64_t output_audio_bit_rate = 128000;
inline constexpr const char* output_audio_codec_name = "mp4a.40.2";

// The HLS muxer's target segment length ("hls_time").
inline constexpr int segment_seconds = 6;
inline constexpr int64_t segment_slots = int64_t{segment_seconds} * slots_per_second;

// A rung's media playlist: "720p" writes 720p.m3u8.
inline std::string media_playlist_name(const std::string& rung) { return rung + ".m3u8"; }

// Its segments: the playlist's name up to its last '.', then a number of at
// least three digits: 720p_000.ts, 720p_001.ts, ...
inline constexpr const char* segment_number_pattern = "_%03d.ts";
inline constexpr const char* segment_extension = ".ts";

}  // namespace quorvane
