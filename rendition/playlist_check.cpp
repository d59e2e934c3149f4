#include "playlist_check.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace quorvane {

bool media_playlist_complete(const std::string& path) {
  std::ifstream playlist(path);
  if (!playlist) {
    return false;
  }
  const fs::path directory = fs::path(path).parent_path();
  bool ended = false;
  int segments = 0;
  std::string line;
  while (std::getline(playlist, line)) {
    if (line.empty()) {
      continue;
    }
    if (line[0] == '#') {
      ended = ended || line == "#EXT-X-ENDLIST";
      continue;
    }
    std::error_code error;
    const auto size = fs::file_size(directory / line, error);
    if (error || size == 0) {
      return false;
    }
    ++segments;
  }
  return ended && segments > 0;
}

}  // namespace quorvane
