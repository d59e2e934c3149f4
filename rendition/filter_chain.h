// Filter chains between one buffer source and one buffer sink: the picture
// chain and the loudness chain are both built this way.
#pragma once

#include <string>

#include "rendition_parts.h"

namespace quorvane {

// Builds `chain` as source "in" -> `description` -> sink "out". The caller
// has already made the graph and both endpoint filters.
bool link_filter_chain(filter_chain& chain, const char* description);

// Makes the graph and the two endpoint filters of a chain.
bool create_filter_endpoints(filter_chain& chain, const char* source_filter,
                             const std::string& source_arguments, const char* sink_filter);

}  // namespace quorvane
