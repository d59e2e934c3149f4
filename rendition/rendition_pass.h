// One pass through the source, the one pipeline of every way through it:
// a rendition of the whole file, a window of it, the planning pass that
// finds where windows may start, and the pass that makes a ladder's sound.
// The read loop routes every packet to its path and asks the pass's
// policies at each: `warm` (a window before its resume point takes the
// packet) and `observe` (the planning pass watches where the timeline
// goes). Which pictures are encoded and which packets written is the
// muxer's window's to say (`admit`).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "rendition/rendition_setup.h"

namespace quorvane {

// Everything one pass holds, released in reverse order on every way out.
struct rendition_pipeline {
  source_input source;
  // The part of the timeline the rungs write, and the error given last; a
  // pass opens no muxer itself (each rung opens its own).
  hls_muxer muxer;
  video_path video;
  sound_path sound;
};

// Opens the pass: the source, its decoders, the encoders it asks (the
// rungs open their own muxers), its loudness chain, packets and frames.
step_result open_pipeline(rendition_pipeline& pipeline, const std::string& input,
                          const pass_plan& plan);

// The timeline's state as it stands, and put back in place: copies.
timeline_state current_timeline(const rendition_pipeline& pipeline);
void restore_timeline(rendition_pipeline& pipeline, const timeline_state& state);

// What a pass asks at each packet of its two streams, numbered from 0.
struct read_policies {
  // Before a window's resume point: true when the packet was taken there.
  std::function<step_result(int64_t index, bool is_video, bool& taken)> warm;
  // Before and after the packet is routed.
  std::function<void(int64_t index)> before;
  std::function<step_result(int64_t index, bool is_video)> after;
};

// Routes the packet just read (`source.packet`) to its path. Carried only
// (before a window's resume point), its timestamps take their place on the
// timeline as the read loop places them (a join, sound held while its jump
// back is undecided), and nothing is decoded.
step_result route_packet(rendition_pipeline& pipeline, bool is_video, bool carry_only);

// Reads the input to its end, routing each packet to its path; a window of
// the timeline stops once everything it writes has come. A failure ends the
// pass without its trailer.
step_result read_input(rendition_pipeline& pipeline, const read_policies& policies);

// End of input (or a read error, treated alike): the last pictures, the
// sound's tail, the last picture held while the sound runs on, then both
// encoders drained.
step_result finish_media(rendition_pipeline& pipeline);

// Notes on `window` the sound packets of `step`, given out: how far the
// sound has come, and whether it has passed the window's end.
void note_sound_packets(window_admission& window, const sound_step& step);

// A failure while encoding, with the FFmpeg error that an encoder, the
// muxer, a filter chain or the sound buffer gave last.
step_failure encoding_failure(const char* step, const rendition_pipeline& pipeline);

}  // namespace quorvane
