// Filter chains between one buffer source and one buffer sink: the picture
// chain and the loudness chain are both built this way.
#pragma once

#include <string>

#include "ffmpeg/ffmpeg_handles.h"

namespace quorvane {

// A filter chain between one buffer source and one buffer sink.
struct filter_chain {
  filter_graph_ptr graph;
  AVFilterContext* source = nullptr;  // owned by the graph
  AVFilterContext* sink = nullptr;    // owned by the graph
};

// Makes the graph and the two endpoint filters of a chain. 0, or FFmpeg's
// error code.
int create_filter_endpoints(filter_chain& chain, const char* source_filter,
                            const std::string& source_arguments, const char* sink_filter);

// Builds `chain` as source "in" -> `description` -> sink "out". The caller
// has already made the graph and both endpoint filters. 0, or FFmpeg's error
// code.
int link_filter_chain(filter_chain& chain, const char* description);

}  // namespace quorvane
