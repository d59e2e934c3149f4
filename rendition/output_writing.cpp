#include "rendition/output_writing.h"

namespace quorvane {

namespace {

int close_and_note_failure(AVFormatContext* muxer, AVIOContext* file) {
  auto* watch = static_cast<file_close_watch*>(muxer->opaque);
  // Closing flushes the file's buffer and reports any write that failed.
  const int closed = watch->close_file(muxer, file);
  if (closed < 0) {
    watch->failed = true;
  }
  return closed;
}

// Writes `packet` (in `time_base`) as a packet of `stream`: the muxer may
// have replaced the stream's time base in its header.
bool write_packet(hls_muxer& muxer, AVStream* stream, AVPacket* packet, AVRational time_base) {
  av_packet_rescale_ts(packet, time_base, stream->time_base);
  packet->stream_index = stream->index;
  const int written = av_interleaved_write_frame(muxer.context.get(), packet);
  av_packet_unref(packet);
  if (written < 0) {
    muxer.last_error = media_error{written, true, nullptr};
    return false;
  }
  return true;
}

}  // namespace

step_failure media_failure(const char* step, const media_error& error) {
  const char* where = error.step != nullptr ? error.step : error.in_muxer ? "writing the segments" : step;
  if (error.reason != nullptr) {
    return step_failure{where, error.reason};
  }
  if (error.code < 0) {
    return ffmpeg_failure(where, error.code);
  }
  return step_failure{step, "a filter chain or the sound buffer failed"};
}

bool failed_step(media_error& error, const char* step, int code) {
  error = media_error{code, false, step};
  return false;
}

void watch_file_closes(AVFormatContext* muxer, file_close_watch& watch) {
  watch.close_file = muxer->io_close2;
  muxer->opaque = &watch;
  muxer->io_close2 = close_and_note_failure;
}

bool encode_and_write(AVCodecContext* encoder, hls_muxer& muxer, const AVFrame* frame,
                      picture_durations* durations) {
  AVPacket* packet = muxer.packet.get();
  const int sent = avcodec_send_frame(encoder, frame);
  if (sent < 0) {
    muxer.last_error = media_error{sent, false, nullptr};
    return false;
  }
  for (;;) {
    const int received = avcodec_receive_packet(encoder, packet);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return true;
    }
    if (received < 0) {
      muxer.last_error = media_error{received, false, nullptr};
      return false;
    }
    // x264 leaves picture durations unset; the muxer adds them up for the
    // last segment's EXTINF.
    if (durations != nullptr) {
      const auto found = durations->find(packet->pts);
      if (found != durations->end()) {
        packet->duration = found->second;
        durations->erase(found);
      }
    }
    if (!writes_picture(muxer.window, packet->pts)) {
      av_packet_unref(packet);
      continue;  // encoded only for its neighbours' sake
    }
    if (!write_packet(muxer, muxer.video_stream, packet, encoder->time_base)) {
      return false;
    }
  }
}

bool write_sound_packet(hls_muxer& muxer, const AVPacket* sound, int64_t first_pts) {
  if (!admits_sound_packet(muxer.window, first_pts, sound->pts)) {
    return true;
  }
  AVPacket* packet = muxer.packet.get();
  const int referenced = av_packet_ref(packet, sound);
  if (referenced < 0) {
    muxer.last_error = media_error{referenced, false, nullptr};
    return false;
  }
  return write_packet(muxer, muxer.audio_stream, packet, AVRational{1, output_sample_rate});
}

}  // namespace quorvane
