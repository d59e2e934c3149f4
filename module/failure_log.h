// How a call tells Python which rungs failed and why: after the workers have
// joined, on the calling thread with the GIL held, one WARNING record per
// failure through the standard logging module, logger "quorvane".
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "ladder/ladder_driver.h"

namespace quorvane {

// "720p: opening the output 720p_000.ts: Permission denied"
inline std::string failure_message(const rung_failure& failure) {
  return failure.rung + ": " + failure.failure.step + ": " + failure.failure.reason;
}

inline void log_failures(const std::vector<rung_failure>& failures) {
  if (failures.empty()) {
    return;
  }
  pybind11::object logger = pybind11::module_::import("logging").attr("getLogger")("quorvane");
  for (const rung_failure& failure : failures) {
    // Passed as an argument, so that a '%' in a path is not taken for a format.
    logger.attr("warning")("%s", failure_message(failure));
  }
}

}  // namespace quorvane
