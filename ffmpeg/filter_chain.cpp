#include "ffmpeg/filter_chain.h"

extern "C" {
#include <libavutil/mem.h>
}

namespace quorvane {

int create_filter_endpoints(filter_chain& chain, const char* source_filter,
                            const std::string& source_arguments, const char* sink_filter) {
  chain.graph.reset(avfilter_graph_alloc());
  if (!chain.graph) {
    return AVERROR(ENOMEM);
  }
  const AVFilter* source = avfilter_get_by_name(source_filter);
  const AVFilter* sink = avfilter_get_by_name(sink_filter);
  if (source == nullptr || sink == nullptr) {
    return AVERROR_FILTER_NOT_FOUND;
  }
  const int created = avfilter_graph_create_filter(&chain.source, source, "in",
                                                   source_arguments.c_str(), nullptr,
                                                   chain.graph.get());
  if (created < 0) {
    return created;
  }
  return avfilter_graph_create_filter(&chain.sink, sink, "out", nullptr, nullptr,
                                      chain.graph.get());
}

namespace {

// One open end of the graph, named after the filter instance it stands for.
filter_inout_ptr make_endpoint(const char* name, AVFilterContext* filter) {
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

}  // namespace

int link_filter_chain(filter_chain& chain, const char* description) {
  // The source's output is the chain's open input and the sink's input its
  // open output; the parse links the unlabelled chain between them.
  filter_inout_ptr source_list = make_endpoint("in", chain.source);
  filter_inout_ptr sink_list = make_endpoint("out", chain.sink);
  if (!source_list || !sink_list) {
    return AVERROR(ENOMEM);
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
    return parsed;
  }
  return avfilter_graph_config(chain.graph.get(), nullptr);
}

}  // namespace quorvane
