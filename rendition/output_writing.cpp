#include "rendition/output_writing.h"

namespace quorvane {

static int close_and_note_failure(AVFormatContext* muxer, AVIOContext* file) {
  auto* watch = static_cast<file_close_watch*>(muxer->opaque);
  // Closing flushes the file's buffer and reports any write that failed.
  const int closed = watch->close_file(muxer, file);
  if (closed < 0) {
    watch->failed = true;
  }
  return closed;
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

bool encode_and_write(AVCodecContext* encoder, AVFormatContext* muxer, AVStream* stream,
                      const AVFrame* frame, AVPacket* packet, picture_durations* durations,
                      media_error* error, const written_packets& written) {
  const auto failed = [error](int code, bool in_muxer) {
    if (error != nullptr) {
      *error = media_error{code, in_muxer};
    }
    return false;
  };
  const int sent = avcodec_send_frame(encoder, frame);
  if (sent < 0) {
    return failed(sent, false);
  }
  for (;;) {
    const int received = avcodec_receive_packet(encoder, packet);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return true;
    }
    if (received < 0) {
      return failed(received, false);
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
    if (!writes_packet(written, packet->pts)) {
      av_packet_unref(packet);
      continue;  // encoded only for its neighbours' sake
    }
    // The muxer may have replaced the stream's time base in its header.
    av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
    packet->stream_index = stream->index;
    const int written = av_interleaved_write_frame(muxer, packet);
    av_packet_unref(packet);
    if (written < 0) {
      return failed(written, true);
    }
  }
}

}  // namespace quorvane
