// One rung of the ladder: the pictures and sound the ladder's passes made,
// scaled to the rung's frame, encoded to H.264 and written with the sound as
// AES-128 encrypted HLS segments and a media playlist.
#pragma once

#include <cstdint>
#include <string>

#include "rendition/rendition_outcome.h"
#include "rendition/rung_events.h"
#include "rendition/window_admission.h"

namespace quorvane {

struct rung_plan {
  int32_t width = 0;
  int32_t height = 0;
  int32_t bitrate = 0;
  std::string playlist;  // the media playlist; its segments beside it
  std::string key;       // the HLS key-info file
  // The part of the timeline written: slots [first_slot, end_slot).
  int64_t first_slot = 0;
  int64_t end_slot = unbounded_slot;
};

// Encodes what `reader` takes until the ladder's pictures end. Says whether
// the media playlist was completed (its trailer written) and, if not, which
// step failed and why. Partial files stay on disk. The reader leaves the
// hand-over however the rung ends.
rendition_outcome encode_rung(rung_reader& reader, const rung_plan& plan);

}  // namespace quorvane
