// Decoded pictures on their way to the rungs' encoders: placing each on the
// 1/30 s grid, the source's steps, keyframes every 2 s of the timeline, and
// holding the last picture until the media ends.
#pragma once

#include <vector>

#include "rendition/rendition_parts.h"

namespace quorvane {

// Video branch of the read loop for `source.packet`. False ends the rendition.
bool decode_video_packet(video_path& path, source_input& source, hls_muxer& muxer);

// Drains the decoder and the picture chain; the last picture stays held
// until finish_video knows where the media ends. False ends the rendition.
bool flush_video_pictures(video_path& path, source_input& source, hls_muxer& muxer);

// Tells the picture path that the sound has been decoded up to
// `sound_seconds` after the origin. Where the pictures have stopped coming
// (an attached picture, a video track that ended), the held picture is
// repeated along the sound so the output keeps both streams together.
// False when encoding failed.
bool follow_sound(video_path& path, hls_muxer& muxer, double sound_seconds);

// Seconds after the origin up to which pictures reached the encoder.
double encoded_video_seconds(const video_path& path);

// Where the pictures end, in seconds after the origin: the last picture's
// time plus one source picture interval; 0 before any picture.
double video_end_seconds(const video_path& path);

// Hands over the last picture lasting until `end_seconds` (or its own end,
// when later), then the rungs' encoders' drain. False ends the pass.
bool finish_video(video_path& path, hls_muxer& muxer, double end_seconds);

// Tells the rungs to drain their encoders (also: a window that ends within
// the media).
bool hand_over_drain(video_path& path, hls_muxer& muxer);

// Before a rendition resumes within the file: decodes `source.packet` and
// keeps the pictures whose timestamps are `needed`. False when a picture
// could not be kept.
bool decode_needed_pictures(video_path& path, const source_input& source,
                            const std::vector<int64_t>& needed, decoded_pictures& kept);

// Where the rendition resumes, its timeline in place: the held picture and
// the pictures inside the chain made again from `kept`. False, with the
// reason in the muxer's error, when one is missing.
bool resume_pictures(video_path& path, const source_input& source, hls_muxer& muxer,
                     decoded_pictures& kept);

// True once at least one picture reached the encoder.
bool has_pictures(const video_path& path);

}  // namespace quorvane
