// The Python face of quorvane: one function, hls_encoder.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ladder/ladder_driver.h"
#include "ladder/rendition_ladder.h"
#include "module/failure_log.h"

namespace py = pybind11;

PYBIND11_MODULE(quorvane, module) {
  module.doc() = "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python";
  // The defaults are stored as Python objects and converted afresh at every
  // call, so nothing a call does can change them. Encoding failures raise
  // nothing: each is logged once the workers have joined.
  module.def(
      "hls_encoder",
      [](std::string input, std::string output, std::vector<std::string> resolution,
         std::vector<int32_t> bitrate, std::string key) {
        quorvane::log_failures(quorvane::hls_encoder(std::move(input), std::move(output),
                                                     std::move(resolution), std::move(bitrate),
                                                     std::move(key)));
      },
      "Transcode video to HLS with dynamic ABR", py::arg("input"), py::arg("output"),
      py::arg("resolution") = quorvane::default_resolution(),
      py::arg("bitrate") = quorvane::default_bitrates(),
      py::arg("key") = std::string("enc.keyinfo"));
}
