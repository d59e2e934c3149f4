// What one rendition is made of: the source it reads, the HLS muxer it
// writes, and the video and audio paths between them. Each struct holds its
// members in making order, so they are released in reverse order of making
// on every way out.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "ffmpeg/ffmpeg_handles.h"
#include "ffmpeg/filter_chain.h"
#include "hls/output_format.h"
#include "rendition/media_timeline.h"
#include "rendition/time_window.h"
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
  // Before a rendition resumes within the file, sound only warms the
  // loudness chain up, from this time (seconds after the origin) on.
  std::optional<double> warm_sound_from;
};

// An FFmpeg error while encoding and writing, and which side gave it.
struct media_error {
  int code = 0;
  bool in_muxer = false;  // writing a packet, not encoding
  const char* step = nullptr;  // a filter chain's or a flush's step; null for the encoders
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
  packet_ptr packet;  // receives every encoded packet of both encoders
  media_error last_error;  // what an encoder, the muxer or a chain refused last
  time_window window;  // the part of the timeline written: all of it unless split in time
};

// The properties of a decoded picture that its filter chain is built for.
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

// How long each picture handed to the encoder lasts, in grid slots, by its
// timestamp. The encoder gives its packets out in another order and without
// durations; the muxer adds those durations up for the playlist.
using picture_durations = std::map<int64_t, int64_t>;

// Decoded pictures kept by their own timestamps.
using decoded_pictures = std::map<int64_t, frame_ptr>;

// The picture that came out of the chain last. It is encoded once the next
// one's slot is known, which is when its duration is known. Until then it
// may be repeated along the timeline: `slot` is where the copy still to be
// encoded starts, `picture_slot` where the picture's own time fell.
struct held_picture {
  frame_ptr picture;
  int64_t slot = 0;
  int64_t picture_slot = 0;
  bool keyframe = false;
  bool repeat = false;  // `slot` holds a repeat, which only fills time
  int64_t source_pts = AV_NOPTS_VALUE;  // the decoded picture's own timestamp
};

struct video_path {
  codec_context_ptr decoder;
  codec_context_ptr encoder;
  int clockwise_rotation = 0;  // display rotation of the source: 0, 90, 180 or 270
  bool interlaced_source = false;  // once seen, every later picture is deinterlaced too
  // A planning pass needs the chain's timing, not its pictures: each
  // picture is cut down to a few pixels before the chain's own steps.
  bool timing_only = false;
  picture_format chain_format;     // what `chain` was built for
  filter_chain chain;
  picture_clock clock;
  // How long the last picture lasts when nothing follows it: the source's
  // picture interval, or 1/30 s when the source is faster.
  AVRational picture_duration = grid_time_base;
  // Keyframes fall on every 60th slot counted from the first picture's, so
  // that every segment lasts exactly 6 s whatever the source's rate.
  int64_t next_keyframe_slot = AV_NOPTS_VALUE;
  int64_t pictures_encoded = 0;
  // How far the sound has reached, in slots: pauses in the pictures are
  // bridged only as far as something plays through them.
  int64_t sound_reached_slot = 0;
  int64_t closed_slots = 0;  // jumps in the pictures' times taken out, in slots
  // Where the stream has gone quiet while the sound plays on (cover art, a
  // video track shorter than its sound), the held picture is repeated as the
  // sound advances, so that the pictures keep pace with it in the output.
  bool single_picture = false;  // an attached picture: the stream's only one
  double last_packet_seconds = 0;  // the latest video packet read, on the timeline
  std::multiset<double> undecoded_seconds;  // pictures sent to the decoder, not yet out
  int64_t chain_output_slot = AV_NOPTS_VALUE;  // the last picture out of the chain
  std::map<int64_t, int64_t> chain_sources;  // pictures inside the chain: slot -> own timestamp
  picture_durations durations;  // of the pictures the encoder still holds
  frame_ptr decoded;
  frame_ptr filtered;
  held_picture held;
};

// The properties of decoded sound that the loudness chain is built for.
struct sound_format {
  int sample_rate = 0;
  int sample_format = -1;
  std::string channel_layout;
  int channels = 0;
};

struct audio_path {
  codec_context_ptr decoder;
  codec_context_ptr encoder;
  sound_format chain_format;  // what `chain` was built for
  filter_chain chain;
  audio_fifo_ptr fifo;
  sound_clock clock;          // where decoded sound lands on the timeline
  restated_timestamps stamps;  // of the sound packets, which a demuxer may have guessed
  int64_t first_pts = 0;      // where the sound starts, in samples from the origin
  int64_t next_pts = 0;       // running sample count at 44100 Hz from the origin
  int64_t samples_to_skip = 0;  // sound from before the origin
  // Before a rendition resumes within the file: where the sound the chain
  // gave out so far ends, in samples at 44100 Hz from the origin.
  int64_t warmed_end = AV_NOPTS_VALUE;
  frame_ptr decoded;
  frame_ptr filtered;
};

}  // namespace quorvane
