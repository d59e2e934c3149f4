// The ladder's sound made: decoded sound placed by its clock, through
// loudness normalisation to fixed-size AAC blocks; or silence for a source
// without sound. Each function makes one step of the sound track: the AAC
// packets go into the step, what the pictures need to know into the path's
// progress.
#pragma once

#include "rendition/rendition_parts.h"

namespace quorvane {

// Builds the loudness chain for the decoder's sound and the FIFO that cuts
// its output into encoder-sized blocks. 0, or FFmpeg's error code.
int setup_sound_maker(sound_path& path, const source_input& source);

// A sound packet decoded, placed, normalised and encoded as far as whole
// blocks go. False, with the reason in `error`, when the pass must end.
bool make_sound_packet(sound_path& path, const source_input& source, AVPacket* packet,
                       sound_step& step, media_error& error);

// For a source without sound: silence from where it stands to `seconds`
// after the origin, in whole blocks, and with `last` the short block that
// ends exactly there. Every rendition carries a sound track, so all
// renditions of all ladders have the same shape for players.
bool make_silence(sound_path& path, double seconds, bool last, sound_step& step,
                  media_error& error);

// The end of the sound: the decoder, the chain and the FIFO drained into
// the encoder. False when the pass must end without its trailer.
bool make_sound_tail(sound_path& path, const source_input& source, sound_step& step,
                     media_error& error);

// The encoder drained.
bool drain_sound_encoder(sound_path& path, sound_step& step, media_error& error);

}  // namespace quorvane
