// What the fuzz targets share: a check that ends the run as a crash does
// (so that libFuzzer keeps the input), and a scratch folder of the process's
// own for the parsers that read files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace quorvane_fuzz {

// Aborts with `what` when `holds` is false: a property the input broke.
inline void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// A folder made once per process under TMPDIR, removed by no one: the
// fuzzer runs in a scratch place (scripts/fuzz.sh points TMPDIR there).
inline const std::string& scratch_folder() {
  static const std::string folder = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/quorvane-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    return pattern;
  }();
  return folder;
}

// Writes `bytes` at `path`, replacing it; aborts when it cannot.
inline void write_file(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  require(file != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(),
          "the scratch folder takes a file");
  std::fclose(file);
}

}  // namespace quorvane_fuzz
