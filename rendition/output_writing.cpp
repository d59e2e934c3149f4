#include "rendition_parts.h"

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

void watch_file_closes(AVFormatContext* muxer, file_close_watch& watch) {
  watch.close_file = muxer->io_close2;
  muxer->opaque = &watch;
  muxer->io_close2 = close_and_note_failure;
}

bool encode_and_write(AVCodecContext* encoder, AVFormatContext* muxer, AVStream* stream,
                      const AVFrame* frame, AVPacket* packet, AVRational packet_duration) {
  if (avcodec_send_frame(encoder, frame) < 0) {
    return false;
  }
  for (;;) {
    const int received = avcodec_receive_packet(encoder, packet);
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return true;
    }
    if (received < 0) {
      return false;
    }
    // The muxer may have replaced the stream's time base in its header.
    av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
    // x264 leaves picture durations unset; without them the muxer warns on
    // every picture and the last segment comes out one picture short.
    if (packet->duration <= 0 && packet_duration.num > 0) {
      packet->duration = av_rescale_q(1, packet_duration, stream->time_base);
    }
    packet->stream_index = stream->index;
    const int written = av_interleaved_write_frame(muxer, packet);
    av_packet_unref(packet);
    if (written < 0) {
      return false;
    }
  }
}

}  // namespace quorvane
