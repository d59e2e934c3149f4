// Decoded audio through loudness normalisation to fixed-size AAC blocks.
#pragma once

#include "rendition_resources.h"

namespace quorvane {

// Builds the loudness chain from the decoder's format to the encoder's, and
// the FIFO that cuts its output into encoder-sized blocks.
bool setup_audio_chain(rendition_resources& worker);

// Audio branch of the read loop for the packet in `worker.input_packet`.
// False ends the rendition.
bool decode_audio_packet(rendition_resources& worker, stream_timing& timing);

// Drains decoder, chain and FIFO into the encoder. False when the rendition
// must end without its trailer.
bool flush_audio(rendition_resources& worker, stream_timing& timing);

}  // namespace quorvane
