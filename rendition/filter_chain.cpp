#include "rendition_resources.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace quorvane {

bool create_filter_endpoints(filter_chain& chain, const char* source_filter,
                             const std::string& source_arguments, const char* sink_filter) {
  chain.graph.reset(avfilter_graph_alloc());
  const AVFilter* source = avfilter_get_by_name(source_filter);
  const AVFilter* sink = avfilter_get_by_name(sink_filter);
  if (!chain.graph || source == nullptr || sink == nullptr) {
    return false;
  }
  if (avfilter_graph_create_filter(&chain.source, source, "in", source_arguments.c_str(), nullptr,
                                   chain.graph.get()) < 0) {
    return false;
  }
  return avfilter_graph_create_filter(&chain.sink, sink, "out", nullptr, nullptr,
                                      chain.graph.get()) >= 0;
}

// One open end of the graph, named after the filter instance it stands for.
static filter_inout_ptr make_endpoint(const char* name, AVFilterContext* filter) {
  filter_inout_ptr endpoint(avfilter_inout_alloc());
  if (!endpoint) {
    return endpoint;
  }
  endpoint->name = av_strdup(name);
  endpoint->filter_ctx = filter;
  endpoint->pad_idx = 0;
  endpoint->next = nullptr;
  if (endpoint->name == nullptr) {
    endpoint.reset();
  }
  return endpoint;
}

bool link_filter_chain(filter_chain& chain, const char* description) {
  // The source's output is the chain's open input and the sink's input its
  // open output; the parse links the unlabelled chain between them.
  filter_inout_ptr source_list = make_endpoint("in", chain.source);
  filter_inout_ptr sink_list = make_endpoint("out", chain.sink);
  if (!source_list || !sink_list) {
    return false;
  }
  AVFilterInOut* open_inputs = sink_list.release();
  AVFilterInOut* open_outputs = source_list.release();
  const int parsed =
      avfilter_graph_parse_ptr(chain.graph.get(), description, &open_inputs, &open_outputs, nullptr);
  // The parse may consume the lists or leave what it did not link; either
  // way the leftovers are ours again.
  sink_list.reset(open_inputs);
  source_list.reset(open_outputs);
  if (parsed < 0) {
    return false;
  }
  return avfilter_graph_config(chain.graph.get(), nullptr) >= 0;
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
