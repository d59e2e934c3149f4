// The files one call is going to write, known before anything starts: the
// master playlist at `output`, and in the working directory each rendition's
// media playlist and segments. A call whose master playlist would overwrite
// a rendition's file, or whose input is one of those files, must be refused
// while every file is still as it was.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/step_failure.h"
#include "source/file_paths.h"

namespace quorvane {

// A file already in the working directory under a name a rendition writes.
struct existing_file {
  std::string name;
  file_identity identity;
};

struct written_files {
  std::string directory;  // the working directory, resolved, ending in '/'
  // Each writes NAME.m3u8 (through NAME.m3u8.tmp) and NAME_000.ts, NAME_001.ts, ...
  std::vector<std::string> renditions;
  std::string master;  // where the master playlist lands, resolved
  std::optional<file_identity> existing_master;
  std::vector<existing_file> existing_rendition_files;  // those already in the directory
};

written_files plan_written_files(std::vector<std::string> renditions, const std::string& output);

// True when the file at `resolved` (symbolic links resolved) with `identity`
// is one the call writes, by its path or as another name for it.
bool is_written_by_call(const written_files& plan, const std::string& resolved,
                        const file_identity& identity);

// The step a refused call names: "output refused".
inline constexpr const char* output_refused_step = "output refused";

// Why writing the master playlist would replace a rendition's file; empty
// when it would not.
std::optional<step_failure> master_collision(const written_files& plan);

}  // namespace quorvane
