#include "rendition/video_chain.h"

#include <cmath>
#include <cstdlib>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "ffmpeg/ffmpeg_versions.h"
#include "ffmpeg/filter_chain.h"
#include "hls/output_format.h"
#include "rendition/hdr_tone_map.h"

namespace quorvane {

namespace {

// Shapes this close to the frame's fill it: no one-pixel bars.
constexpr double fill_tolerance = 0.01;

bool is_hdr(AVColorTransferCharacteristic transfer) {
  return transfer == AVCOL_TRC_SMPTE2084 || transfer == AVCOL_TRC_ARIB_STD_B67;
}

bool field_order_interlaced(const AVStream* stream) {
  const AVFieldOrder order = stream->codecpar->field_order;
  return order == AV_FIELD_TT || order == AV_FIELD_BB || order == AV_FIELD_TB ||
         order == AV_FIELD_BT;
}

AVRational usable_aspect(AVRational aspect) {
  return aspect.num > 0 && aspect.den > 0 ? aspect : AVRational{0, 1};
}

const AVPixFmtDescriptor* descriptor(int pixel_format) {
  return av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pixel_format));
}

bool is_rgb(int pixel_format) {
  const AVPixFmtDescriptor* desc = descriptor(pixel_format);
  return desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
}

bool has_alpha(int pixel_format) {
  const AVPixFmtDescriptor* desc = descriptor(pixel_format);
  return desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_ALPHA) != 0;
}

// JPEG-style formats carry full-range levels whatever the tag says.
bool is_full_range(const picture_format& format) {
  switch (format.pixel_format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
      return true;
    default:
      return format.range == AVCOL_RANGE_JPEG;
  }
}

// The source's YUV matrix as the scaler names it. Untagged pictures are
// read as players read them: BT.601 under 720 lines, BT.709 from 720 up.
const char* source_matrix(const picture_format& format) {
  switch (format.matrix) {
    case AVCOL_SPC_BT709:
      return "bt709";
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return "bt601";
    case AVCOL_SPC_FCC:
      return "fcc";
    case AVCOL_SPC_SMPTE240M:
      return "smpte240m";
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return "bt2020";
    default:
      return format.height < 720 ? "bt601" : "bt709";
  }
}

// The colours of an HDR picture of `format`. Untagged primaries and matrix
// of an HDR picture can only be BT.2020.
hdr_colours hdr_colours_of(const picture_format& format) {
  hdr_colours colours;
  colours.hlg = format.transfer == AVCOL_TRC_ARIB_STD_B67;
  colours.bt709_matrix = format.matrix == AVCOL_SPC_BT709;
  colours.bt709_primaries = format.primaries == AVCOL_PRI_BT709;
  colours.full_range = is_full_range(format);
  return colours;
}

// HDR (PQ or HLG) to SDR BT.709: linear light with HDR reference white
// (203 cd/m2, BT.2408) as SDR white, BT.2020 primaries to BT.709, a
// tone-mapping curve that leaves the range below white nearly linear and
// rolls off the highlights above it, then the BT.709 transfer in limited
// range. Through FFmpeg's filters, for the pictures the tone map does not
// read; the tone map makes the same pictures from tables.
std::string hdr_to_sdr(const picture_format& format) {
  const hdr_colours colours = hdr_colours_of(format);
  const char* transfer = colours.hlg ? "arib-std-b67" : "smpte2084";
  const char* primaries = colours.bt709_primaries ? "bt709" : "bt2020";
  const char* matrix = colours.bt709_matrix ? "709" : "2020_ncl";
  const char* range = colours.full_range ? "full" : "limited";
  // Linear light and the primaries in one zscale: one pass of floats fewer.
  return std::string("zscale=tin=") + transfer + ":pin=" + primaries + ":min=" + matrix +
         ":rin=" + range + ":t=linear:p=" + av_color_primaries_name(output_primaries) +
         ":npl=203,format=gbrpf32le,tonemap=tonemap=mobius:param=0.8:desat=0,zscale=t=" +
         av_color_transfer_name(output_transfer) + ":m=" + av_color_space_name(output_matrix) +
         ":r=" + av_color_range_name(output_range) + ",format=yuv420p";
}

// HDR pictures the tone map reads once the chain has made them 10-bit 4:2:0:
// any Y'CbCr.
bool tone_mapped_after_chain(const picture_format& format) {
  const AVPixFmtDescriptor* desc = descriptor(format.pixel_format);
  return is_hdr(format.transfer) && desc != nullptr && !is_rgb(format.pixel_format) &&
         desc->nb_components >= 3;
}

// A picture already of the frame's size, in 4:2:0 BT.709 limited range: the
// scaler would only copy it (a 1080p upload's 1080p rung).
bool already_fits(const picture_format& format, int width, int height) {
  return format.width == width && format.height == height &&
         format.pixel_format == AV_PIX_FMT_YUV420P && !is_full_range(format) &&
         std::string(source_matrix(format)) == "bt709";
}

int even_at_least_two(double value) {
  const int rounded = static_cast<int>(std::lround(value / 2)) * 2;
  return rounded < 2 ? 2 : rounded;
}

struct fitted_size {
  int width;
  int height;
};

// The largest size of the picture's display shape inside `box_width` x
// `box_height`, with square pixels.
fitted_size fit_inside(const picture_format& format, int box_width, int box_height) {
  const AVRational aspect = usable_aspect(format.sample_aspect);
  const double pixel_aspect = aspect.num > 0 ? av_q2d(aspect) : 1.0;
  const double shape = format.width * pixel_aspect / format.height;
  const double box_shape = static_cast<double>(box_width) / box_height;
  if (!std::isfinite(shape) || shape <= 0 || std::fabs(shape / box_shape - 1) <= fill_tolerance) {
    return {box_width, box_height};
  }
  if (shape > box_shape) {
    return {box_width, std::min(box_height, even_at_least_two(box_width / shape))};
  }
  return {std::min(box_width, even_at_least_two(box_height * shape)), box_height};
}

}  // namespace

bool operator==(const picture_format& a, const picture_format& b) {
  return a.width == b.width && a.height == b.height && a.pixel_format == b.pixel_format &&
         av_cmp_q(a.sample_aspect, b.sample_aspect) == 0 && a.matrix == b.matrix &&
         a.range == b.range && a.primaries == b.primaries && a.transfer == b.transfer &&
         a.interlaced == b.interlaced;
}

picture_format picture_format_of(const AVFrame* picture, const AVStream* stream,
                                 bool interlaced_source) {
  picture_format format;
  format.width = picture->width;
  format.height = picture->height;
  format.pixel_format = picture->format;
  format.sample_aspect = usable_aspect(picture->sample_aspect_ratio);
  if (format.sample_aspect.num == 0) {
    format.sample_aspect = usable_aspect(stream->sample_aspect_ratio);
  }
  if (format.sample_aspect.num == 0) {
    format.sample_aspect = usable_aspect(stream->codecpar->sample_aspect_ratio);
  }
  format.matrix = picture->colorspace;
  format.range = picture->color_range;
  format.primaries = picture->color_primaries;
  format.transfer = picture->color_trc;
  format.interlaced =
      interlaced_source || frame_is_interlaced(picture) || field_order_interlaced(stream);
  return format;
}

namespace {

std::string joined(const std::vector<std::string>& steps) {
  std::string description;
  for (const std::string& step : steps) {
    description += (description.empty() ? "" : ",") + step;
  }
  return description;
}

// Sets up a chain from a buffer source of pictures of `format` to a sink,
// through `description`. 0, or FFmpeg's error code.
int build_chain(filter_chain& chain, const picture_format& format, AVRational time_base,
                const std::string& description) {
  chain = filter_chain{};
  const AVRational aspect = format.sample_aspect.num > 0 ? format.sample_aspect : AVRational{1, 1};
  const std::string arguments =
      "video_size=" + std::to_string(format.width) + "x" + std::to_string(format.height) +
      ":pix_fmt=" + std::to_string(format.pixel_format) + ":time_base=" +
      std::to_string(time_base.num) + "/" + std::to_string(time_base.den) +
      ":pixel_aspect=" + std::to_string(aspect.num) + "/" + std::to_string(aspect.den);
  const int created = create_filter_endpoints(chain, "buffer", arguments, "buffersink");
  if (created < 0) {
    return created;
  }
  buffersrc_parameters_ptr parameters(av_buffersrc_parameters_alloc());
  if (!parameters) {
    return AVERROR(ENOMEM);
  }
  parameters->format = format.pixel_format;
  parameters->width = format.width;
  parameters->height = format.height;
  parameters->sample_aspect_ratio = aspect;
  parameters->time_base = time_base;
  set_buffersrc_colour(parameters.get(), format.matrix, format.range);
  const int set = av_buffersrc_parameters_set(chain.source, parameters.get());
  if (set < 0) {
    return set;
  }
  const int linked = link_filter_chain(chain, description.c_str());
  if (linked < 0) {
    chain = filter_chain{};
  }
  return linked;
}

}  // namespace

namespace {

// Deinterlacing and transparency: steps that keep the picture's size and colours.
std::vector<std::string> flattening_steps(const picture_format& format) {
  std::vector<std::string> steps;
  if (format.interlaced) {
    // One picture out per picture in, so the frame-rate rules stay as they are.
    steps.emplace_back("bwdif=mode=send_frame:parity=auto:deint=all");
  }
  if (has_alpha(format.pixel_format)) {
    // Colour times opacity: the picture laid over black.
    steps.emplace_back("premultiply=inplace=1");
  }
  return steps;
}

// The size an HDR picture is tone-mapped at: its own, or the largest rung's
// frame when that holds fewer pixels (a 4K phone upload is mapped at 1080p).
fitted_size tone_mapping_size(const picture_format& format, int clockwise_rotation,
                              frame_box largest_frame) {
  const fitted_size own{format.width, format.height};
  if (largest_frame.width <= 0 || largest_frame.height <= 0) {
    return own;
  }
  const bool quarter_turn = clockwise_rotation % 180 != 0;
  const fitted_size fitted =
      fit_inside(format, quarter_turn ? largest_frame.height : largest_frame.width,
                 quarter_turn ? largest_frame.width : largest_frame.height);
  return int64_t{fitted.width} * fitted.height < int64_t{format.width} * format.height ? fitted
                                                                                      : own;
}

bool scaled_for_tone_mapping(const picture_format& format, fitted_size size) {
  return size.width != format.width || size.height != format.height;
}

}  // namespace

std::string source_steps_description(const picture_format& format, int clockwise_rotation,
                                     frame_box largest_frame) {
  std::vector<std::string> steps = flattening_steps(format);
  if (is_hdr(format.transfer)) {
    // Tone-mapped once for every rung: the dearest step of an HDR upload,
    // so at no more pixels than the largest rung needs.
    const fitted_size size = tone_mapping_size(format, clockwise_rotation, largest_frame);
    if (scaled_for_tone_mapping(format, size)) {
      steps.push_back("scale=w=" + std::to_string(size.width) + ":h=" +
                      std::to_string(size.height) + ":flags=bicubic");
    }
    if (tone_mapped_after_chain(format)) {
      // Mapped after the chain, from the pixel format the map reads.
      steps.push_back(std::string("format=") + av_get_pix_fmt_name(tone_map_input_format));
    } else {
      steps.push_back(hdr_to_sdr(format));
    }
    if (scaled_for_tone_mapping(format, size)) {
      steps.emplace_back("setsar=1");  // fitted with square pixels
    }
  }
  return steps.empty() ? "null" : joined(steps);
}

picture_format prepared_format(const picture_format& format, int clockwise_rotation,
                               frame_box largest_frame) {
  picture_format prepared = format;
  prepared.interlaced = false;  // deinterlaced by the source's steps, if at all
  if (is_hdr(format.transfer)) {
    const fitted_size size = tone_mapping_size(format, clockwise_rotation, largest_frame);
    if (scaled_for_tone_mapping(format, size)) {
      prepared.sample_aspect = AVRational{1, 1};
    }
    prepared.width = size.width;
    prepared.height = size.height;
    prepared.pixel_format = AV_PIX_FMT_YUV420P;
    prepared.matrix = output_matrix;
    prepared.range = output_range;
    prepared.primaries = output_primaries;
    prepared.transfer = output_transfer;
  }
  return prepared;
}

std::string rung_steps_description(const picture_format& format, int clockwise_rotation,
                                   int width, int height) {
  std::vector<std::string> steps;
  // Before a quarter turn the picture is scaled into the turned frame.
  const bool quarter_turn = clockwise_rotation % 180 != 0;
  const int box_width = quarter_turn ? height : width;
  const int box_height = quarter_turn ? width : height;
  const fitted_size fitted = fit_inside(format, box_width, box_height);
  std::string scale = "scale=w=" + std::to_string(fitted.width) +
                      ":h=" + std::to_string(fitted.height) + ":flags=bicubic";
  if (is_hdr(format.transfer)) {
    // Not yet tone-mapped (a pass that only times the pictures): after
    // scaling, so the floating-point steps work on the frame's pixels.
    steps.push_back(scale);
    steps.push_back(hdr_to_sdr(format));
  } else if (!already_fits(format, fitted.width, fitted.height)) {
    if (!is_rgb(format.pixel_format)) {
      scale += std::string(":in_color_matrix=") + source_matrix(format) +
               ":in_range=" + (is_full_range(format) ? "pc" : "tv");
    }
    steps.push_back(scale + ":out_color_matrix=" + av_color_space_name(output_matrix) +
                    ":out_range=" + av_color_range_name(output_range));
  }
  if (fitted.width != box_width || fitted.height != box_height) {
    // Centred on even offsets, so chroma stays aligned.
    steps.push_back("pad=w=" + std::to_string(box_width) + ":h=" + std::to_string(box_height) +
                    ":x=" + std::to_string((box_width - fitted.width) / 4 * 2) +
                    ":y=" + std::to_string((box_height - fitted.height) / 4 * 2) +
                    ":color=black");
  }
  if (clockwise_rotation == 90) {
    steps.emplace_back("transpose=dir=clock");
  } else if (clockwise_rotation == 270) {
    steps.emplace_back("transpose=dir=cclock");
  } else if (clockwise_rotation == 180) {
    steps.emplace_back("hflip,vflip");
  }
  steps.emplace_back("setsar=1");
  steps.emplace_back("format=yuv420p");
  return joined(steps);
}

int build_video_chain(video_path& path, const picture_format& format, AVRational time_base) {
  // A pass that times the pictures runs the whole chain on a few pixels; a
  // pass that prepares them for the rungs runs the source's steps alone.
  const std::vector<std::string> flattening = flattening_steps(format);
  const std::string description =
      path.use == picture_use::timed
          ? "scale=w=64:h=36:flags=neighbor," + (flattening.empty() ? "null" : joined(flattening)) +
                "," + rung_steps_description(format, path.clockwise_rotation, path.encoder->width,
                                             path.encoder->height)
          : source_steps_description(format, path.clockwise_rotation, path.largest_frame);
  const int built = build_chain(path.chain, format, time_base, description);
  path.tone_map.reset();
  if (built >= 0) {
    if (path.use != picture_use::timed && tone_mapped_after_chain(format)) {
      path.tone_map = make_hdr_tone_map(hdr_colours_of(format));
    }
    path.chain_format = format;
    path.chain_output_format = prepared_format(format, path.clockwise_rotation, path.largest_frame);
  }
  return built;
}

int build_rung_chain(filter_chain& chain, const picture_format& format, int clockwise_rotation,
                     int width, int height) {
  return build_chain(chain, format, grid_time_base,
                     rung_steps_description(format, clockwise_rotation, width, height));
}

}  // namespace quorvane
