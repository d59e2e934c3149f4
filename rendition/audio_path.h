// Decoded sound through loudness normalisation to fixed-size AAC blocks.
#pragma once

#include "rendition/rendition_parts.h"

namespace quorvane {

// Builds the loudness chain for the decoder's sound and the FIFO that cuts
// its output into encoder-sized blocks. A source without sound needs neither.
// 0, or FFmpeg's error code.
int setup_audio_path(audio_path& path, const source_input& source);

// Audio branch of the read loop for `packet`. False ends the rendition.
bool decode_audio_packet(audio_path& path, source_input& source, hls_muxer& muxer,
                         AVPacket* packet);

// Drains decoder, chain and FIFO into the encoder. False when the rendition
// must end without its trailer.
bool flush_audio(audio_path& path, source_input& source, hls_muxer& muxer);

// For a source without sound: encodes silence from where it stands to
// `seconds` after the origin, in whole blocks, and with `last` the short
// block that ends exactly there. Every rendition carries a sound track, so
// all renditions of all ladders have the same shape for players.
bool encode_silence_until(audio_path& path, hls_muxer& muxer, double seconds, bool last);

// Before a rendition resumes within the file: decodes `packet` and runs its
// sound through the loudness chain, so that the chain has heard what comes
// before the resumed part; the last of what it gives out stays in the FIFO.
bool warm_up_sound(audio_path& path, source_input& source, hls_muxer& muxer, AVPacket* packet);

// Where the rendition resumes, its state in place: the FIFO keeps the sound
// from `next_pts` on. False when the sound was not warmed up from early
// enough.
bool resume_sound(audio_path& path, hls_muxer& muxer);

// Where the sound handed to the encoder ends, in seconds after the origin.
double audio_end_seconds(const audio_path& path);

// Where the sound starts, and how far it has been decoded (the loudness
// chain holds a few seconds back), in seconds after the origin.
double audio_start_seconds(const audio_path& path);
double audio_decoded_end_seconds(const audio_path& path);

// How much sound was handed to the encoder, in seconds.
double audio_content_seconds(const audio_path& path);

}  // namespace quorvane
