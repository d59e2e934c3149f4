#include "input_guard.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <vector>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/dict.h>
}

namespace quorvane {

namespace {

// The rules of one opened input, owned by its format context (opaque).
struct input_guard {
  file_identity input;  // the input file itself
  std::string folder;  // a playlist's folder, resolved, ending in '/'; empty for other inputs
  file_veto veto;
  bool refused = false;
};

// Demuxers that open further files by name without the io_open callback,
// where no rule of ours can see them: the concat script, the DASH manifest
// and the VobSub index (its .sub companion). Refused for every input.
constexpr const char* unguarded_demuxers = "concat,dash,vobsub";
// Demuxers whose whole purpose is reading further files (through the
// callback): refused unless the input is named as a playlist, so that a
// disguised playlist ends like an unreadable file instead of half-read.
constexpr const char* referring_demuxers = "hls,imf";

// Every demuxer allowed for an input, as a format_whitelist. Demuxers that
// open their input themselves (AVFMT_NOFILE: image sequences, scripts) never
// pass through the callback either.
std::string build_demuxer_whitelist(bool playlist) {
  std::string list;
  void* position = nullptr;
  while (const AVInputFormat* format = av_demuxer_iterate(&position)) {
    if ((format->flags & AVFMT_NOFILE) ||
        av_match_list(format->name, unguarded_demuxers, ',') > 0 ||
        (!playlist && av_match_list(format->name, referring_demuxers, ',') > 0)) {
      continue;
    }
    list += list.empty() ? "" : ",";
    list += format->name;
  }
  return list;
}

const std::string& demuxer_whitelist(bool playlist) {
  static const std::string for_playlists = build_demuxer_whitelist(true);
  static const std::string for_others = build_demuxer_whitelist(false);
  return playlist ? for_playlists : for_others;
}

struct file_facts {
  file_identity identity;
  std::string resolved;  // absolute, every symbolic link resolved
};

// Where `path` leads, without opening it: empty unless a regular file is
// there. Pipes and devices are turned away here, before an open could block.
std::optional<file_facts> look_up(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  std::unique_ptr<char, decltype(&free)> resolved(realpath(path.c_str(), nullptr), &free);
  if (!resolved) {
    return std::nullopt;
  }
  return file_facts{{status.st_dev, status.st_ino}, resolved.get()};
}

std::string descriptor_path(int descriptor) {
  return "/proc/self/fd/" + std::to_string(descriptor);
}

// The same for what an open descriptor really holds, which no rename or new
// symbolic link can change after the look-up.
std::optional<file_facts> look_up(int descriptor) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  char target[PATH_MAX];
  const ssize_t length = readlink(descriptor_path(descriptor).c_str(), target, sizeof(target));
  if (length <= 0 || length >= static_cast<ssize_t>(sizeof(target))) {
    return std::nullopt;
  }
  return file_facts{{status.st_dev, status.st_ino},
                    std::string(target, static_cast<size_t>(length))};
}

bool may_read(const input_guard& guard, const file_facts& file) {
  if (guard.veto && guard.veto(file.resolved, file.identity)) {
    return false;
  }
  if (file.identity == guard.input) {
    return true;
  }
  return !guard.folder.empty() && file.resolved.size() > guard.folder.size() &&
         file.resolved.compare(0, guard.folder.size(), guard.folder) == 0;
}

// A file a demuxer asks for: a local path, read as it is or decrypted on the
// way (the HLS demuxer asks for "crypto:" + segment for AES-128 segments).
struct requested_file {
  std::string path;
  bool decrypted = false;
};

bool starts_with(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Any URL scheme but "file" names a protocol ("http:", "data:", "concat:"),
// which is never used. Anything else is taken as a path: it is only ever
// opened as one, so "subfile,,start,0,...:x" names a file of that name.
bool names_a_protocol(const std::string& url) {
  const auto scheme_end = std::find_if(url.begin(), url.end(), [](char c) {
    return !(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.');
  });
  return scheme_end != url.begin() && scheme_end != url.end() && *scheme_end == ':';
}

std::optional<requested_file> parse_request(const std::string& url) {
  requested_file request;
  request.path = url;
  if (starts_with(request.path, "crypto:") || starts_with(request.path, "crypto+")) {
    request.decrypted = true;
    request.path.erase(0, 7);
  }
  if (starts_with(request.path, "file:")) {
    request.path.erase(0, 5);
  } else if (names_a_protocol(request.path)) {
    return std::nullopt;
  }
  if (request.path.empty()) {
    return std::nullopt;
  }
  return request;
}

// Opens the requested file when the rules allow it, checking both the name
// before opening (so that a refused file is never opened at all) and the
// opened descriptor (so that nothing swapped in between gets through).
// Returns the descriptor, or -1 when refused.
int open_permitted(const input_guard& guard, const requested_file& request) {
  const std::optional<file_facts> named = look_up(request.path);
  if (!named || !may_read(guard, *named)) {
    return -1;
  }
  // Non-blocking: should a pipe have replaced the file since the look-up,
  // opening it must not wait for a writer.
  const int descriptor = open(request.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) {
    return -1;
  }
  const std::optional<file_facts> opened = look_up(descriptor);
  if (!opened || !may_read(guard, *opened)) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}

input_guard* guard_of(const AVFormatContext* context);

// Opens `url` as FFmpeg's own io_open does, under the context's protocol
// whitelist, but without logging every file it opens.
int open_whitelisted(AVFormatContext* context, AVIOContext** pb, const std::string& url,
                     int flags, AVDictionary** options) {
  AVDictionary* url_options = nullptr;
  if (options != nullptr) {
    av_dict_copy(&url_options, *options, 0);
  }
  av_dict_set(&url_options, "protocol_whitelist", context->protocol_whitelist, 0);
  const int result = avio_open2(pb, url.c_str(), flags, &context->interrupt_callback, &url_options);
  // Hand back the options nobody took, as io_open must.
  if (options != nullptr) {
    av_dict_free(options);
    *options = url_options;
  } else {
    av_dict_free(&url_options);
  }
  return result;
}

// The io_open callback of a guarded input. FFmpeg asks through it for the
// input itself, for the files an HLS playlist lists (segments, key files,
// media playlists) and for QuickTime references; nested demuxers of HLS
// segments refuse everything themselves. What is allowed is reopened through
// the checked descriptor, so no URL from the input ever reaches a protocol.
int open_guarded(AVFormatContext* context, AVIOContext** pb, const char* url, int flags,
                 AVDictionary** options) {
  input_guard* guard = guard_of(context);
  if (guard == nullptr) {
    return AVERROR(EPERM);  // a nested context that took over our callback without our rules
  }
  const std::optional<requested_file> request =
      url != nullptr ? parse_request(url) : std::nullopt;
  int descriptor = -1;
  if (request && !(flags & AVIO_FLAG_WRITE) && (!request->decrypted || !guard->folder.empty())) {
    descriptor = open_permitted(*guard, *request);
  }
  if (descriptor < 0) {
    guard->refused = true;
    av_log(context, AV_LOG_ERROR, "Refused to open '%s': the input may read only itself%s\n",
           url != nullptr ? url : "", guard->folder.empty() ? "" : " and files in its folder");
    return AVERROR(EPERM);
  }
  const std::string reopen =
      std::string(request->decrypted ? "crypto:file:" : "file:") + descriptor_path(descriptor);
  const int result = open_whitelisted(context, pb, reopen, flags, options);
  close(descriptor);
  return result;
}

input_guard* guard_of(const AVFormatContext* context) {
  if (context == nullptr || context->io_open != open_guarded) {
    return nullptr;
  }
  return static_cast<input_guard*>(context->opaque);
}

// FFmpeg's interrupt callback: once anything was refused, every read and
// every further open of the input stops, rather than skipping the refused
// file and going on with the rest.
int interrupt_after_refusal(void* opaque) {
  return static_cast<const input_guard*>(opaque)->refused ? 1 : 0;
}

// The folder a playlist's relative entries are found in, resolved, with a
// trailing '/'; empty when it cannot be resolved.
std::string playlist_folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::unique_ptr<char, decltype(&free)> resolved(realpath(folder.c_str(), nullptr), &free);
  if (!resolved) {
    return "";
  }
  std::string result = resolved.get();
  if (result.back() != '/') {
    result += '/';
  }
  return result;
}

}  // namespace

bool picture_size_allowed(int width, int height) {
  return width <= max_picture_side && height <= max_picture_side &&
         int64_t{width} * int64_t{height} <= max_picture_area;
}

AVCodecContext* alloc_decoder_context(const AVCodec* decoder) {
  AVCodecContext* context = avcodec_alloc_context3(decoder);
  if (context != nullptr) {
    // A picture past the limit fails to decode instead of being allocated.
    context->max_pixels = decoder_max_pixels;
  }
  return context;
}

bool is_playlist_path(const std::string& path) {
  std::string lower = path;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const auto ends_with = [&lower](const std::string& suffix) {
    return lower.size() > suffix.size() &&
           lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  return ends_with(".m3u8") || ends_with(".m3u");
}

AVFormatContext* open_guarded_input(const std::string& path, const file_veto& veto) {
  // A pipe, a device or a folder is refused here, without being opened: an
  // open or a read could block, and each worker would read another part.
  const std::optional<file_facts> input = look_up(path);
  if (!input) {
    return nullptr;
  }
  const bool playlist = is_playlist_path(path);
  const std::string& demuxers = demuxer_whitelist(playlist);
  auto guard = std::make_unique<input_guard>();
  guard->input = input->identity;
  guard->veto = veto;
  if (playlist) {
    guard->folder = playlist_folder(path);
    if (guard->folder.empty()) {
      return nullptr;
    }
  }
  AVFormatContext* context = avformat_alloc_context();
  if (context == nullptr) {
    return nullptr;
  }
  context->io_open = open_guarded;
  context->opaque = guard.get();
  context->interrupt_callback.callback = interrupt_after_refusal;
  context->interrupt_callback.opaque = guard.get();

  AVDictionary* options = nullptr;
  // Protocols, for every open and every nested context: local files, and the
  // AES-128 decryption an encrypted playlist's segments need.
  av_dict_set(&options, "protocol_whitelist", playlist ? "file,crypto" : "file", 0);
  av_dict_set(&options, "format_whitelist", demuxers.c_str(), 0);
  // QuickTime external references stay off, whatever FFmpeg's default.
  av_dict_set(&options, "enable_drefs", "0", 0);
  if (playlist) {
    // Key files have no media extension; the callback judges every file.
    av_dict_set(&options, "allowed_extensions", "ALL", 0);
  }
  const int opened = avformat_open_input(&context, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) {
    return nullptr;  // avformat_open_input has freed the context
  }
  input_guard* owned = guard.release();  // from here on closed with the context
  if (owned->refused) {
    close_guarded_input(context);
    return nullptr;
  }
  return context;
}

int read_stream_info(AVFormatContext* input) {
  std::vector<AVDictionary*> options(input->nb_streams, nullptr);
  for (AVDictionary*& stream_options : options) {
    av_dict_set_int(&stream_options, "max_pixels", decoder_max_pixels, 0);
  }
  const int result = avformat_find_stream_info(input, options.empty() ? nullptr : options.data());
  for (AVDictionary*& stream_options : options) {
    av_dict_free(&stream_options);
  }
  return result;
}

bool input_refused(const AVFormatContext* input) {
  const input_guard* guard = guard_of(input);
  return guard != nullptr && guard->refused;
}

void close_guarded_input(AVFormatContext* input) {
  input_guard* guard = guard_of(input);
  avformat_close_input(&input);
  delete guard;
}

}  // namespace quorvane
