// What the ladder's picture pass hands every rung, in the order a rung's own
// read through the file would meet it: a picture to encode (decoded, placed
// on the grid, the source's own steps done, at the source's size), a step
// of the ladder's sound to write, the picture encoder to drain.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>

#include "ffmpeg/ffmpeg_handles.h"
#include "rendition/handover.h"
#include "rendition/sound_track.h"

namespace quorvane {

// The properties of a decoded picture that a filter chain is built for.
struct picture_format {
  int width = 0;
  int height = 0;
  int pixel_format = -1;
  AVRational sample_aspect{0, 1};
  AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
  AVColorRange range = AVCOL_RANGE_UNSPECIFIED;
  AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  bool interlaced = false;
};

bool operator==(const picture_format& a, const picture_format& b);

// The largest frame of a ladder's rungs, upright: the source's steps need
// give no rung more pixels than this. 0 x 0: not known.
struct frame_box {
  int width = 0;
  int height = 0;
};

// A picture as the source's steps left it. `format` is what the rungs'
// chains are built for: the source picture's, its steps done.
struct prepared_picture {
  frame_ptr frame;
  picture_format format;
  int clockwise_rotation = 0;  // the source's display rotation, which each rung turns
};

// `end`: the ladder's pictures and sound are all handed over.
enum class rung_event_kind { picture, sound, drain, end };

struct rung_event {
  rung_event_kind kind = rung_event_kind::picture;
  // A picture: shared by the held picture's copies.
  std::shared_ptr<const prepared_picture> picture;
  int64_t slot = 0;
  int64_t duration = 0;  // in slots
  bool keyframe = false;
  std::shared_ptr<const sound_step> sound;  // a sound step
};

// Source pictures in flight between the pass and the slowest rung, at most
// this many and this many bytes (an 8K upload's pictures are 50 MB each):
// the pass waits for the rungs there. The pass decodes far faster than the
// rungs encode, so a few keep every rung fed; more only cost memory.
inline constexpr size_t most_pictures_ahead = 8;
inline constexpr size_t most_picture_bytes_ahead = size_t{64} << 20;

// What a picture weighs in the hand-over: its bytes, and at least its
// share of the pictures in flight.
inline size_t picture_weight(const AVFrame* picture) {
  size_t bytes = 0;
  for (const AVBufferRef* buffer : picture->buf) {
    bytes += buffer != nullptr ? buffer->size : 0;
  }
  return std::max(bytes, most_picture_bytes_ahead / most_pictures_ahead);
}

using rung_handover = handover<rung_event>;
using rung_reader = handover_reader<rung_event>;

// A ladder's hand-over, bounded by the pictures in flight.
inline rung_handover make_rung_handover() {
  return rung_handover(rung_handover::default_steps_ahead, most_picture_bytes_ahead,
                       "taking the pictures");
}

}  // namespace quorvane
