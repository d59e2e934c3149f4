#include "source/opened_input.h"

#include <utility>

namespace quorvane {

opened_input open_input(const std::string& path, const file_veto& veto) {
  opened_input result;
  guarded_open opened = open_guarded_input(path, veto);
  result.context.reset(opened.context);
  result.failure = std::move(opened.failure);
  if (!result.context) {
    return result;
  }
  result.stream_info_result = read_stream_info(result.context.get());
  result.failure = input_refused(result.context.get());
  if (result.failure) {
    result.context.reset();
  }
  return result;
}

}  // namespace quorvane
