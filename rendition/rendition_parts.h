// What one pass through the source is made of: the source it reads, the HLS
// muxer it writes, and the picture and sound paths between them. Each struct
// holds its members in making order, so they are released in reverse order
// of making on every way out. The timeline's state (timeline_state.h) is
// held by the paths, one part each.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/ffmpeg_handles.h"
#include "ffmpeg/filter_chain.h"
#include "hls/output_format.h"
#include "rendition/hdr_tone_map.h"
#include "rendition/media_timeline.h"
#include "rendition/rung_events.h"
#include "rendition/sound_track.h"
#include "rendition/timeline_state.h"
#include "rendition/window_admission.h"
#include "source/opened_input.h"

namespace quorvane {

// The demuxer, its two chosen streams and the packet every read fills.
struct source_input {
  input_context_ptr context;
  AVStream* video_stream = nullptr;  // owned by `context`
  AVStream* audio_stream = nullptr;  // owned by `context`
  int64_t origin = 0;                // microseconds both streams count from
  timestamp_continuity continuity;
  packet_ptr packet;
  // Sound whose timestamps jumped back while the pictures go on: a block
  // sent again, or the first sound of a recording joined on. The next
  // picture packet tells which: it jumps back too, or it goes on.
  std::deque<packet_ptr> held_sound;
};

// An FFmpeg error while encoding and writing, and which side gave it.
struct media_error {
  int code = 0;
  bool in_muxer = false;  // writing a packet, not encoding
  const char* step = nullptr;  // a filter chain's or a flush's step; null for the encoders
  const char* reason = nullptr;  // a rule of ours that failed, rather than FFmpeg's error
};

// Notes whether any file the muxer wrote failed when it was closed. The HLS
// muxer finishes its playlist even when a segment could not be written (a
// full disk), so its own results do not tell.
struct file_close_watch {
  int (*close_file)(AVFormatContext* muxer, AVIOContext* file) = nullptr;
  bool failed = false;
};

// The HLS muxer of one rendition: media playlist and encrypted segments.
struct hls_muxer {
  file_close_watch close_watch;  // outlives `context`, whose release may close files
  output_context_ptr context;
  AVStream* video_stream = nullptr;  // owned by `context`, index 0
  AVStream* audio_stream = nullptr;  // owned by `context`, index 1
  std::string segment_pattern;
  packet_ptr packet;  // receives every encoded packet of the picture encoder
  media_error last_error;  // what an encoder, the muxer or a chain refused last
  window_admission window;  // the part of the timeline written: all of it unless split in time
};

// How long each picture handed to the encoder lasts, in grid slots, by its
// timestamp. The encoder gives its packets out in another order and without
// durations; the muxer adds those durations up for the playlist.
using picture_durations = std::map<int64_t, int64_t>;

// Decoded pictures kept by their own timestamps.
using decoded_pictures = std::map<int64_t, frame_ptr>;

// What a pass does with the pictures: decode them and prepare them for the
// rungs (the source's steps), decode them for their times alone (each cut
// down to a few pixels before the chain's steps), or leave them undecoded
// (only their timestamps count).
enum class picture_use { encoded, timed, skipped };

struct video_path {
  codec_context_ptr decoder;
  // An H.264 encoder with the rungs' settings: its reorder delay sets how
  // the first pictures are placed (and it is the chain's frame when timed).
  codec_context_ptr encoder;
  picture_use use = picture_use::encoded;
  int clockwise_rotation = 0;  // display rotation of the source: 0, 90, 180 or 270
  bool single_picture = false;  // an attached picture: the stream's only one
  // How long the last picture lasts when nothing follows it: the source's
  // picture interval, or 1/30 s when the source is faster.
  AVRational picture_duration = grid_time_base;
  picture_format chain_format;     // what `chain` was built for
  picture_format chain_output_format;  // and what it gives
  frame_box largest_frame;  // the ladder's largest rung, which the source's steps need not exceed
  filter_chain chain;
  // HDR to SDR after the chain, when the chain ends before it.
  std::optional<hdr_tone_map> tone_map;
  picture_timeline timeline;
  frame_ptr decoded;
  frame_ptr filtered;
  frame_ptr mapped;  // the chain's picture through `tone_map`
  frame_ptr held;  // the held picture, whose place is in `timeline`
  picture_format held_format;  // the held picture's, as the chain gave it
  // Where the pictures to encode go; none for a pass that writes nothing.
  rung_handover* rungs = nullptr;
  // The held picture as handed over, which its copies share; empty until
  // its first copy goes.
  std::shared_ptr<const prepared_picture> handed;
};

// The properties of decoded sound that the loudness chain is built for.
struct sound_format {
  int sample_rate = 0;
  int sample_format = -1;
  std::string channel_layout;
  int channels = 0;
};

// The sound made here: decoded, placed by its clock, normalised and cut into
// AAC blocks. Its blocks count from the origin at 44100 Hz.
struct sound_maker {
  codec_context_ptr decoder;
  sound_format chain_format;  // what `chain` was built for
  filter_chain chain;
  audio_fifo_ptr fifo;
  sound_clock clock;          // where decoded sound lands on the timeline
  restated_timestamps stamps;  // of the sound packets, which a demuxer may have guessed
  int64_t samples_to_skip = 0;  // sound from before the origin
  frame_ptr decoded;
  frame_ptr filtered;
};

// Where a pass's sound steps come from: made here, or taken from the
// ladder's track; and where their packets go (the muxer, the track, a
// window's file).
enum class sound_origin { made, taken };
using step_output =
    std::function<bool(const std::shared_ptr<const sound_step>& step, media_error& error)>;

struct sound_path {
  codec_context_ptr encoder;  // AAC: the output stream's parameters, and what makes the sound
  sound_origin origin = sound_origin::made;
  sound_maker maker;
  track_reader* reader = nullptr;  // when taken: the rendition's place in the track
  step_output output;
  sound_progress progress;  // the timeline's part: what the pictures know of the sound
  std::optional<step_failure> track_failure;  // why the track gave no step
};

}  // namespace quorvane
