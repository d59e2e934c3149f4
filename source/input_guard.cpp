#include "source/input_guard.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

#include "ffmpeg/ffmpeg_handles.h"
#include "hls/m3u8.h"

namespace quorvane {

namespace {

// The rules of one opened input, owned by its format context (opaque).
struct input_guard {
  file_identity input;  // the input file itself
  std::string folder;  // a playlist's folder, resolved, ending in '/'; empty for other inputs
  file_veto veto;
  std::optional<step_failure> refusal;  // the first file refused
};

step_failure refusal(std::string reason) {
  return step_failure{input_refused_step, std::move(reason)};
}

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

// Where a path or descriptor leads. `problem` says why it may not be read
// ("is a named pipe", "cannot be read: No such file or directory"); empty
// for a regular file.
struct file_facts {
  file_identity identity;
  std::string resolved;  // absolute, every symbolic link resolved
  std::string problem;
  int error = 0;  // the errno behind `problem`, 0 when the file is of the wrong kind
};

file_facts unreadable(int error) {
  file_facts facts;
  facts.error = error;
  facts.problem = std::string("cannot be read: ") + std::strerror(error);
  return facts;
}

file_facts judged(const struct stat& status, std::string resolved) {
  file_facts facts;
  facts.identity = identity_of(status);
  facts.resolved = std::move(resolved);
  if (!S_ISREG(status.st_mode)) {
    facts.problem = "is " + file_kind(status);
  }
  return facts;
}

// Where `path` leads, without opening it. Pipes and devices are turned away
// here, before an open could block.
file_facts look_up(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    return unreadable(errno);
  }
  if (!S_ISREG(status.st_mode)) {
    return judged(status, "");
  }
  std::string resolved = resolved_path(path);
  if (resolved.empty()) {
    return unreadable(errno);
  }
  return judged(status, std::move(resolved));
}

// The same for what an open descriptor really holds, which no rename or new
// symbolic link can change after the look-up.
file_facts look_up(int descriptor) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    return unreadable(errno);
  }
  std::string resolved = descriptor_target(descriptor);
  if (resolved.empty() && S_ISREG(status.st_mode)) {
    return unreadable(errno);
  }
  return judged(status, std::move(resolved));
}

// Why the rules keep `file` from being read; empty when it may be read.
std::string refusal_of(const input_guard& guard, const file_facts& file) {
  if (!file.problem.empty()) {
    return file.problem;
  }
  if (guard.veto && guard.veto(file.resolved, file.identity)) {
    return "is a file this call writes";
  }
  if (file.identity == guard.input) {
    return "";
  }
  if (guard.folder.empty()) {
    return "is not the input file, the only file a non-playlist input may read";
  }
  const bool inside = file.resolved.size() > guard.folder.size() &&
                      file.resolved.compare(0, guard.folder.size(), guard.folder) == 0;
  return inside ? "" : "lies outside the playlist's folder";
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

// Any URL scheme names a protocol ("http:", "data:", "concat:"). Anything
// else is taken as a path: it is only ever opened as one, so
// "subfile,,start,0,...:x" names a file of that name.
bool names_a_protocol(const std::string& url) {
  const auto scheme_end = std::find_if(url.begin(), url.end(), [](char c) {
    return !(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.');
  });
  return scheme_end != url.begin() && scheme_end != url.end() && *scheme_end == ':';
}

// What FFmpeg asks for: "file:" and "crypto:" come from FFmpeg itself (the
// HLS demuxer asks for "crypto:" + segment), every other protocol is
// refused. Empty for a refused URL.
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

// Opens a file for reading when the rules allow it, checking both the name
// before opening (so that a refused file is never opened at all) and the
// opened descriptor (so that nothing swapped in between gets through).
// The descriptor, or -1 with `why` saying why not.
int open_permitted(const input_guard& guard, const std::string& path, std::string& why) {
  why = refusal_of(guard, look_up(path));
  if (!why.empty()) {
    return -1;
  }
  // Non-blocking: should a pipe have replaced the file since the look-up,
  // opening it must not wait for a writer.
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) {
    why = unreadable(errno).problem;
    return -1;
  }
  why = refusal_of(guard, look_up(descriptor));
  if (!why.empty()) {
    close(descriptor);
    return -1;
  }
  return descriptor;
}

// --- A playlist's own references, read before FFmpeg opens it ---------------

std::optional<step_failure> check_playlist(const input_guard& guard, const std::string& path,
                                           const file_facts& facts, int nesting);

// Judges one URI of the playlist at `playlist_path`, and the playlist it
// names in turn.
std::optional<step_failure> check_reference(const input_guard& guard,
                                            const std::string& playlist_path,
                                            const m3u8_reference& reference, int nesting) {
  const std::string& uri = reference.uri;
  if (uri.empty()) {
    return std::nullopt;  // URI="" names the playlist itself
  }
  if (names_a_protocol(uri)) {
    return refusal("entry " + uri + " names a protocol");
  }
  const size_t slash = playlist_path.rfind('/');
  const std::string path =
      uri.front() == '/' || slash == std::string::npos ? uri : playlist_path.substr(0, slash + 1) + uri;
  const file_facts facts = look_up(path);
  const std::string why = refusal_of(guard, facts);
  if (!why.empty()) {
    return refusal("entry " + uri + " " + why);
  }
  // FFmpeg's HLS demuxer reads a master playlist and its media playlists,
  // no deeper.
  if (reference.playlist && nesting == 0) {
    return check_playlist(guard, path, facts, nesting + 1);
  }
  return std::nullopt;
}

// Reads the playlist at `path` (already looked up as `facts`) and judges
// every URI it names; the first refusal.
std::optional<step_failure> check_playlist(const input_guard& guard, const std::string& path,
                                           const file_facts& facts, int nesting) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (descriptor < 0) {
    return step_failure{opening_input_step, std::strerror(errno)};
  }
  // The file read must be the file judged.
  const file_facts opened = look_up(descriptor);
  if (!opened.problem.empty() || !(opened.identity == facts.identity)) {
    close(descriptor);
    return refusal("playlist " + path + " changed while it was read");
  }
  FILE* text = fdopen(descriptor, "r");
  if (text == nullptr) {
    const int error = errno;
    close(descriptor);
    return step_failure{opening_input_step, std::strerror(error)};
  }
  const m3u8_playlist playlist = read_m3u8(text);
  fclose(text);
  // FFmpeg's HLS demuxer reads a playlist that lists segments, or names no
  // further playlist, as a media playlist. Without its end it is live: the
  // demuxer waits for it to grow, as long as its last segment's EXTINF says,
  // whatever the file holds. Without a segment, as an alternate rendition,
  // FFmpeg 5.1 crashes. An upload is whole files of media.
  const auto& references = playlist.references;
  const bool names_further = std::any_of(references.begin(), references.end(),
                                         [](const m3u8_reference& reference) { return reference.playlist; });
  const bool lists_segments = std::any_of(references.begin(), references.end(), is_segment);
  if (lists_segments || !names_further) {
    if (!lists_segments) {
      return refusal("playlist " + path + " lists no segment");
    }
    if (!playlist.ended) {
      return refusal("playlist " + path +
                     " has no #EXT-X-ENDLIST: FFmpeg would wait for a live playlist to grow");
    }
  }
  for (const m3u8_reference& reference : playlist.references) {
    if (std::optional<step_failure> refused = check_reference(guard, path, reference, nesting)) {
      return refused;
    }
  }
  return std::nullopt;
}

// --- FFmpeg's callbacks ---------------------------------------------------

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

// Why a file FFmpeg asks for may not be read; empty with `descriptor` set
// when it may.
std::string judge_request(const input_guard& guard, const char* url, int flags,
                          std::optional<requested_file>& request, int& descriptor) {
  descriptor = -1;
  request = url != nullptr ? parse_request(url) : std::nullopt;
  if (!request) {
    return "names a protocol";
  }
  if (flags & AVIO_FLAG_WRITE) {
    return "was asked for writing";
  }
  if (request->decrypted && guard.folder.empty()) {
    return "asks for decryption, which only a playlist's segments may";
  }
  std::string why;
  descriptor = open_permitted(guard, request->path, why);
  return why;
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
  std::optional<requested_file> request;
  int descriptor = -1;
  const std::string why = judge_request(*guard, url, flags, request, descriptor);
  if (!why.empty()) {
    const std::string name = url != nullptr ? url : "";
    if (!guard->refusal) {
      guard->refusal = refusal("file " + name + " " + why);
    }
    av_log(context, AV_LOG_ERROR, "Refused to open '%s': %s\n", name.c_str(), why.c_str());
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
// An option that is itself part of the guard: how it is set, and how it
// reads back once the demuxer has taken it (AVOptions print booleans as words).
struct guard_option {
  const char* name;
  std::string value;
  const char* read_back;  // nullptr: as set
  const char* what;       // "the protocol whitelist"
  bool demuxer_own;       // a demuxer's own option, checked where the demuxer has one
};

std::vector<guard_option> guard_options(bool playlist, const std::string& demuxers) {
  // Protocols, for every open and every nested context: local files, and the
  // AES-128 decryption an encrypted playlist's segments need.
  std::vector<guard_option> options = {
      {"protocol_whitelist", playlist ? "file,crypto" : "file", nullptr, "the protocol whitelist",
       false},
      {"format_whitelist", demuxers, nullptr, "the format whitelist", false},
      // QuickTime external references stay off, whatever FFmpeg's default.
      {"enable_drefs", "0", "false", "enable_drefs", true},
  };
  if (playlist) {
    // Key files have no media extension; the callback judges every file.
    options.push_back({"allowed_extensions", "ALL", nullptr, "allowed_extensions", true});
  }
  return options;
}

// Why `option` is not in effect on an opened demuxer; empty when it is. A
// guard that did not take must not leave the input read without it.
std::optional<step_failure> option_not_in_effect(AVFormatContext* context,
                                                 const guard_option& option) {
  // A demuxer's private data starts with its AVClass only when it has one.
  void* object = !option.demuxer_own                  ? context
                 : context->iformat->priv_class != nullptr ? context->priv_data
                                                           : nullptr;
  if (option.demuxer_own &&
      (object == nullptr || av_opt_find(object, option.name, nullptr, 0, 0) == nullptr)) {
    return std::nullopt;  // this demuxer has no such option to weaken
  }
  uint8_t* value = nullptr;
  const int got = av_opt_get(object, option.name, 0, &value);
  const std::string step = std::string("setting ") + option.what;
  if (got < 0) {
    return ffmpeg_failure(step, got);
  }
  const std::string taken(reinterpret_cast<const char*>(value));
  av_free(value);
  const std::string wanted = option.read_back != nullptr ? option.read_back : option.value;
  if (taken != wanted) {
    return step_failure{step, "the demuxer has \"" + taken + "\" in effect"};
  }
  return std::nullopt;
}

int interrupt_after_refusal(void* opaque) {
  return static_cast<const input_guard*>(opaque)->refusal ? 1 : 0;
}

// When FFmpeg takes the file at `path` for a format the rules do not accept
// for it (an HLS playlist under another name, a concat script, an image
// sequence), the refusal that says so; empty when it would take an accepted
// one, or none. Judged on the file's first bytes, as FFmpeg probes it.
std::optional<step_failure> refused_format(const std::string& path, bool playlist) {
  constexpr size_t probe_bytes = 1 << 20;
  file_ptr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(probe_bytes + AVPROBE_PADDING_SIZE, 0);
  const size_t got = std::fread(bytes.data(), 1, probe_bytes, file.get());
  AVProbeData probe{};
  probe.filename = path.c_str();
  probe.buf = bytes.data();
  probe.buf_size = static_cast<int>(got);
  int score = 0;
  const AVInputFormat* format = av_probe_input_format3(&probe, 1, &score);
  if (format == nullptr ||
      av_match_list(format->name, demuxer_whitelist(playlist).c_str(), ',') > 0) {
    return std::nullopt;
  }
  const std::string named = std::string(format->long_name != nullptr ? format->long_name
                                                                     : format->name) +
                            " (" + format->name + ")";
  if (av_match_list(format->name, referring_demuxers, ',') > 0) {
    return refusal("the input is " + named +
                   ", which lists further files: a playlist is read only when its name ends "
                   "in .m3u8 or .m3u");
  }
  return refusal("the input is " + named +
                 ", which reads further files by name: not accepted for an upload");
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

guarded_open open_guarded_input(const std::string& path, const file_veto& veto) {
  guarded_open result;
  // A pipe, a device or a folder is refused here, without being opened: an
  // open or a read could block, and each worker would read another part.
  const file_facts input = look_up(path);
  if (input.error != 0) {
    result.failure = step_failure{opening_input_step, std::strerror(input.error)};
    return result;
  }
  if (!input.problem.empty()) {
    result.failure = refusal("the input " + input.problem);
    return result;
  }
  const bool playlist = is_playlist_path(path);
  const std::string& demuxers = demuxer_whitelist(playlist);
  auto guard = std::make_unique<input_guard>();
  guard->input = input.identity;
  guard->veto = veto;
  if (veto && veto(input.resolved, input.identity)) {
    result.failure = refusal("the input is a file this call writes");
    return result;
  }
  if (playlist) {
    guard->folder = resolved_folder_of(path);
    if (guard->folder.empty()) {
      result.failure = step_failure{opening_input_step, "the playlist's folder cannot be resolved"};
      return result;
    }
    result.failure = check_playlist(*guard, path, input, 0);
    if (result.failure) {
      return result;
    }
  }
  AVFormatContext* context = avformat_alloc_context();
  if (context == nullptr) {
    result.failure = ffmpeg_failure(opening_input_step, AVERROR(ENOMEM));
    return result;
  }
  context->io_open = open_guarded;
  context->opaque = guard.get();
  context->interrupt_callback.callback = interrupt_after_refusal;
  context->interrupt_callback.opaque = guard.get();

  // Every option that is the guard is checked as it is set and once the
  // demuxer has it: one that fails leaves the input unread.
  const std::vector<guard_option> guards = guard_options(playlist, demuxers);
  AVDictionary* options = nullptr;
  for (const guard_option& option : guards) {
    const int set = av_dict_set(&options, option.name, option.value.c_str(), 0);
    if (set < 0) {
      av_dict_free(&options);
      avformat_free_context(context);
      result.failure = ffmpeg_failure(std::string("setting ") + option.what, set);
      return result;
    }
  }
  const int opened = avformat_open_input(&context, path.c_str(), nullptr, &options);
  const dictionary_ptr options_not_taken(options);
  if (opened < 0) {
    // avformat_open_input has freed the context; a refusal is the reason
    // behind the error it gives, and so is a format not on the whitelist,
    // which FFmpeg only logs.
    if (guard->refusal) {
      result.failure = *guard->refusal;
    } else if (std::optional<step_failure> format = refused_format(path, playlist)) {
      result.failure = std::move(format);
    } else {
      result.failure = ffmpeg_failure(opening_input_step, opened);
    }
    return result;
  }
  input_guard* owned = guard.release();  // from here on closed with the context
  if (owned->refusal) {
    result.failure = owned->refusal;
    close_guarded_input(context);
    return result;
  }
  for (const guard_option& option : guards) {
    if (std::optional<step_failure> weaker = option_not_in_effect(context, option)) {
      result.failure = std::move(weaker);
      close_guarded_input(context);
      return result;
    }
  }
  result.context = context;
  return result;
}

int read_stream_info(AVFormatContext* input) {
  std::vector<AVDictionary*> options(input->nb_streams, nullptr);
  int set = 0;
  for (AVDictionary*& stream_options : options) {
    if (set >= 0) {
      set = av_dict_set_int(&stream_options, "max_pixels", decoder_max_pixels, 0);
    }
  }
  const int result = set < 0 ? set
                             : avformat_find_stream_info(
                                   input, options.empty() ? nullptr : options.data());
  const std::vector<dictionary_ptr> options_not_taken(options.begin(), options.end());
  return result;
}

std::optional<step_failure> input_refused(const AVFormatContext* input) {
  const input_guard* guard = guard_of(input);
  return guard != nullptr ? guard->refusal : std::nullopt;
}

void close_guarded_input(AVFormatContext* input) {
  // The guard goes with its context, after it: closing may still ask it.
  const std::unique_ptr<input_guard> guard(guard_of(input));
  avformat_close_input(&input);
}

}  // namespace quorvane
