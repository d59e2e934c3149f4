#include "rendition/sound_track.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <unistd.h>

#include "ffmpeg/ffmpeg_handles.h"
#include "ffmpeg/step_failure.h"
#include "rendition/state_fields.h"

namespace quorvane {

std::optional<sound_step> shared_copy(const sound_step& step) {
  sound_step copy;
  copy.event = step.event;
  copy.progress = step.progress;
  for (const packet_ptr& packet : step.packets) {
    packet_ptr shared(av_packet_clone(packet.get()));
    if (!shared) {
      return std::nullopt;
    }
    copy.packets.push_back(std::move(shared));
  }
  return copy;
}

namespace {

// The file: a header (its mark, and the number of its first step), then
// each step, then an end record with how many steps it holds; numbers
// little-endian.
constexpr char file_mark[8] = {'Q', 'V', 'S', 'O', 'U', 'N', 'D', '1'};
constexpr int32_t end_record = 0;
// Bounds no real step comes near: an AAC packet is at most 6144 bits a
// channel, and one packet of the source gives at most seconds of sound.
constexpr uint32_t max_packet_bytes = 1 << 16;
constexpr uint32_t max_packets_per_step = 1 << 16;

void put(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out.push_back(static_cast<char>(value >> (8 * i)));
  }
}

void put_double(std::string& out, double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  put(out, bits, 8);
}

// Writes the fields of a step's progress, each as its type is written.
struct progress_writer {
  std::string& out;
  void operator()(const char*, int64_t value, field_rule) { put(out, static_cast<uint64_t>(value), 8); }
  void operator()(const char*, double value, field_rule) { put_double(out, value); }
};

bool write_all(FILE* file, const std::string& bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

// Reads little-endian numbers from a file; notes the first failure.
struct file_reader {
  FILE* file;
  bool short_read = false;
  uint64_t number(int bytes) {
    uint8_t buffer[8] = {};
    if (std::fread(buffer, 1, static_cast<size_t>(bytes), file) != static_cast<size_t>(bytes)) {
      short_read = true;
      return 0;
    }
    uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
      value = (value << 8) | buffer[i];
    }
    return value;
  }
  int64_t signed64() { return static_cast<int64_t>(number(8)); }
  int32_t signed32() { return static_cast<int32_t>(number(4)); }
  uint32_t unsigned32() { return static_cast<uint32_t>(number(4)); }
  double real() {
    const uint64_t bits = number(8);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
  // Reads the fields of a step's progress, as progress_writer wrote them.
  void operator()(const char*, int64_t& value, field_rule) { value = signed64(); }
  void operator()(const char*, double& value, field_rule) { value = real(); }
};

}  // namespace

std::optional<std::string> sound_file_writer::open(const std::string& path, int64_t first_step,
                                                   std::unique_ptr<sound_file_writer>& writer) {
  writer.reset(new sound_file_writer);
  writer->path_ = path;
  writer->file_.reset(std::fopen(path.c_str(), "wb"));
  if (!writer->file_) {
    return system_reason(path, "cannot be made");
  }
  std::string header(file_mark, sizeof file_mark);
  put(header, static_cast<uint64_t>(first_step), 8);
  if (!write_all(writer->file_.get(), header)) {
    return system_reason(path, "cannot be written");
  }
  return std::nullopt;
}

std::optional<std::string> sound_file_writer::write(const sound_step& step) {
  std::string record;
  put(record, static_cast<uint32_t>(step.event), 4);
  progress_writer progress{record};
  visit_fields(step.progress, progress);
  put(record, step.packets.size(), 4);
  for (const packet_ptr& packet : step.packets) {
    put(record, static_cast<uint64_t>(packet->pts), 8);
    put(record, static_cast<uint64_t>(packet->dts), 8);
    put(record, static_cast<uint64_t>(packet->duration), 8);
    // Only the keyframe flag is the sound's: the rest is no window's business.
    put(record, static_cast<uint32_t>(packet->flags & AV_PKT_FLAG_KEY), 4);
    put(record, static_cast<uint32_t>(packet->size), 4);
    record.append(reinterpret_cast<const char*>(packet->data), static_cast<size_t>(packet->size));
  }
  if (!write_all(file_.get(), record)) {
    return system_reason(path_, "cannot be written");
  }
  return std::nullopt;
}

std::optional<std::string> sound_file_writer::close() {
  std::string end;
  put(end, static_cast<uint32_t>(end_record), 4);
  FILE* file = file_.release();
  const bool written = write_all(file, end) && std::fflush(file) == 0 && ::fsync(fileno(file)) == 0;
  const int saved = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    errno = written ? errno : saved;
    return system_reason(path_, "cannot be written");
  }
  return std::nullopt;
}

std::optional<std::string> read_sound_steps(FILE* file, const std::string& name,
                                            int64_t first_step, sound_track& track) {
  const auto refused = [&name](const std::string& why) { return name + ": " + why; };
  file_reader in{file};
  char mark[sizeof file_mark] = {};
  if (std::fread(mark, 1, sizeof mark, file) != sizeof mark ||
      std::memcmp(mark, file_mark, sizeof mark) != 0) {
    return refused("not a sound file of this ladder's windows");
  }
  if (in.signed64() != first_step || in.short_read) {
    return refused("its sound does not start at the window's resume state");
  }
  track.start_at(first_step);
  int64_t index = first_step;
  int64_t last_pts = INT64_MIN;
  for (;;) {
    const int32_t event = in.signed32();
    if (in.short_read) {
      return refused("cut short");
    }
    if (event == end_record) {
      break;
    }
    if (event < static_cast<int32_t>(sound_event::packet) ||
        event > static_cast<int32_t>(sound_event::drain)) {
      return refused("a step of unknown kind");
    }
    sound_step step;
    step.event = static_cast<sound_event>(event);
    visit_fields(step.progress, in);
    const uint32_t count = in.unsigned32();
    if (in.short_read) {
      return refused("cut short");
    }
    const std::string numbered = "step " + std::to_string(index);
    if (std::optional<std::string> wrong = sound_progress_refusal(step.progress)) {
      return refused(numbered + "'s " + *wrong);
    }
    if (step.progress.steps != index + 1 || count > max_packets_per_step) {
      return refused(numbered + " is not the one that follows");
    }
    for (uint32_t i = 0; i < count; ++i) {
      const int64_t pts = in.signed64();
      const int64_t dts = in.signed64();
      const int64_t duration = in.signed64();
      const uint32_t flags = in.unsigned32();
      const uint32_t size = in.unsigned32();
      const std::string not_one = "a sound packet of " + numbered + " is not one";
      if (in.short_read || size == 0 || size > max_packet_bytes || pts < last_pts || duration < 0 ||
          (flags & ~uint32_t{AV_PKT_FLAG_KEY}) != 0) {
        return refused(not_one);
      }
      packet_ptr packet(av_packet_alloc());
      const int made = packet ? av_new_packet(packet.get(), static_cast<int>(size)) : AVERROR(ENOMEM);
      if (made < 0) {
        return refused(ffmpeg_error_text(made));
      }
      if (std::fread(packet->data, 1, size, file) != size) {
        return refused(not_one);
      }
      last_pts = pts;
      packet->pts = pts;
      packet->dts = dts;
      packet->duration = duration;
      packet->flags = static_cast<int>(flags);
      step.packets.push_back(std::move(packet));
    }
    track.add(std::make_shared<const sound_step>(std::move(step)));
    ++index;
  }
  // A file is what was written, and no more.
  if (std::fgetc(file) != EOF) {
    return refused("holds more than its steps");
  }
  if (std::ferror(file) != 0) {
    return refused("cannot be read to its end");
  }
  track.finish();
  return std::nullopt;
}

std::optional<std::string> read_sound_file(const std::string& path, int64_t first_step,
                                           sound_track& track) {
  file_ptr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return system_reason(path, "cannot be read");
  }
  return read_sound_steps(file.get(), path, first_step, track);
}

}  // namespace quorvane
