#include "support/media.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <string_view>

#include "common/ffmpeg_error.h"
#include "common/result.h"
#include "common/text.h"

namespace vantle::testing {

namespace {

using DictionaryHandle = FfmpegHandle<AVDictionary, av_dict_free>;

// Tried in this order for AV1 when the StreamSpec names no encoder. libaom takes
// any size (odd ones too) and every chroma layout; SVT-AV1 is the fallback.
constexpr std::string_view AV1_ENCODERS[] = {"libaom-av1", "libsvtav1"};

std::string_view default_encoder(RuntimeCodec codec) {
  switch (codec) {
    case RuntimeCodec::H264:
      return "libx264";
    case RuntimeCodec::Av1:
      return "";
    default:
      return "libx265";
  }
}

std::vector<std::string> encoder_candidates(const StreamSpec& spec) {
  if (!spec.encoder.empty()) {
    return {spec.encoder};
  }
  if (spec.codec == RuntimeCodec::Av1) {
    std::vector<std::string> names;
    for (std::string_view name : AV1_ENCODERS) {
      if (avcodec_find_encoder_by_name(std::string(name).c_str()) != nullptr) {
        names.emplace_back(name);
      }
    }
    return names;
  }
  return {std::string(default_encoder(spec.codec))};
}

int sample_bytes(const AVPixFmtDescriptor& desc) {
  return desc.comp[0].depth > 8 ? 2 : 1;
}

// Fills one plane sample by sample; `value` gets (x, y) in plane samples and
// answers an 8-bit-scale value that is shifted to the format's depth.
template <typename Value>
void fill_plane(AVFrame& frame, int plane, int width, int height, int depth, Value value) {
  const int shift = depth - 8;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = frame.data[plane] + static_cast<std::ptrdiff_t>(y) * frame.linesize[plane];
    for (int x = 0; x < width; ++x) {
      const int sample = value(x, y);
      if (depth > 8) {
        const auto wide = static_cast<std::uint16_t>(shift >= 0 ? sample << shift : sample);
        std::memcpy(row + 2 * x, &wide, sizeof wide);
      } else {
        row[x] = static_cast<std::uint8_t>(sample);
      }
    }
  }
}

// An allocated frame of the format and size, planes not yet written; null
// when the format is not planar YUV or allocation fails.
FrameHandle allocate_frame(int width, int height, AVPixelFormat pix_fmt) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(pix_fmt);
  if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_PLANAR) == 0 ||
      (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0 || desc->nb_components < 3 || width <= 0 ||
      height <= 0) {
    return nullptr;
  }
  FrameHandle frame(av_frame_alloc());
  if (frame == nullptr) {
    return nullptr;
  }
  frame->format = pix_fmt;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) {
    return nullptr;
  }
  return frame;
}

struct PlaneGeometry {
  int width;
  int height;
};

PlaneGeometry plane_geometry(const AVPixFmtDescriptor& desc, int plane, int width, int height) {
  if (plane == 0 || plane == 3) {
    return {width, height};
  }
  return {AV_CEIL_RSHIFT(width, desc.log2_chroma_w), AV_CEIL_RSHIFT(height, desc.log2_chroma_h)};
}

// The picture of frame `index` as StreamSpec describes it.
FrameHandle spec_frame(const StreamSpec& spec, int width, int height, int index) {
  FrameHandle frame =
      spec.content == PictureContent::Flat
          ? make_flat_frame(width, height, spec.pix_fmt, spec.flat_y, spec.flat_u, spec.flat_v)
          : make_source_frame(width, height, spec.pix_fmt, index);
  if (frame != nullptr) {
    frame->color_range = spec.color_range;
    frame->colorspace = spec.color_space;
    frame->color_primaries = spec.color_primaries;
    frame->color_trc = spec.color_trc;
  }
  return frame;
}

struct Segment {
  int first_frame;
  int end_frame;
  int width;
  int height;
};

std::vector<Segment> segments_of(const StreamSpec& spec) {
  std::vector<Segment> segments{{0, spec.frame_count, spec.width, spec.height}};
  for (const ResolutionChange& change : spec.resolution_changes) {
    segments.back().end_frame = change.first_frame;
    segments.push_back({change.first_frame, spec.frame_count, change.width, change.height});
  }
  return segments;
}

std::string x26x_params(const StreamSpec& spec, bool h265) {
  // No scene-cut key frames and a fixed B-frame pattern: tests rely on key
  // frames exactly every gop_size frames and on I P B B groups.
  std::string params = "scenecut=0:b-adapt=0";
  if (h265) {
    // x265 makes open groups by default; a group decoded alone would then
    // lose its leading pictures.
    params += ":open-gop=0:b-pyramid=0:log-level=error:info=0";
    // x265's AVX2 kernels (3.5 and 4.2) corrupt the heap on small pictures
    // such as 48x24 or 34x16; SSE4.2 is safe at every size tried.
    params += ":asm=sse4.2";
    if (spec.threads == 1) {
      params += ":pools=none:frame-threads=1";
    }
  } else {
    params += ":b-pyramid=none";
  }
  return params;
}

// Encoder context for one segment, opened; or an error.
Result<CodecContextHandle> open_encoder(const AVCodec& codec, const StreamSpec& spec,
                                        const Segment& segment, AVPixelFormat pix_fmt,
                                        AVColorRange range, bool global_header) {
  CodecContextHandle context(avcodec_alloc_context3(&codec));
  if (context == nullptr) {
    return fail("avcodec_alloc_context3 failed");
  }
  context->width = segment.width;
  context->height = segment.height;
  context->pix_fmt = pix_fmt;
  context->time_base = AVRational{spec.frame_rate_den, spec.frame_rate_num};
  context->framerate = AVRational{spec.frame_rate_num, spec.frame_rate_den};
  context->gop_size = spec.gop_size > 0 ? spec.gop_size : spec.frame_count + 1;
  context->max_b_frames = spec.b_frames;
  context->thread_count = spec.threads;
  context->color_range = range;
  context->colorspace = spec.color_space;
  context->color_primaries = spec.color_primaries;
  context->color_trc = spec.color_trc;
  if (global_header) {
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }

  AVDictionary* raw_options = nullptr;
  const std::string_view name = codec.name;
  if (name == "libx264") {
    av_dict_set(&raw_options, "x264-params", x26x_params(spec, false).c_str(), 0);
  } else if (name == "libx265") {
    av_dict_set(&raw_options, "x265-params", x26x_params(spec, true).c_str(), 0);
  } else if (name == "libaom-av1") {
    av_dict_set(&raw_options, "usage", "realtime", 0);
    av_dict_set(&raw_options, "cpu-used", "8", 0);
    // No hidden alt-ref pictures: one shown frame per access unit, decode
    // order equals display order.
    av_dict_set(&raw_options, "lag-in-frames", "0", 0);
    av_dict_set(&raw_options, "row-mt", "0", 0);
  } else if (name == "libsvtav1") {
    av_dict_set(&raw_options, "preset", "12", 0);
  }
  for (const auto& [key, value] : spec.options) {
    av_dict_set(&raw_options, key.c_str(), value.c_str(), 0);
  }
  DictionaryHandle options(raw_options);
  raw_options = options.release();
  const int opened = avcodec_open2(context.get(), &codec, &raw_options);
  options.reset(raw_options);
  if (opened < 0) {
    return fail(str_cat(name, " could not be opened for ", segment.width, "x", segment.height, " ",
                        av_get_pix_fmt_name(pix_fmt), ": ", ffmpeg_error_text(opened)));
  }
  if (options != nullptr) {
    const AVDictionaryEntry* unused =
        av_dict_get(options.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX);
    return fail(str_cat(name, " did not take option ", unused->key));
  }
  return context;
}

Status drain_packets(AVCodecContext& context, EncodedStream& stream) {
  PacketHandle packet(av_packet_alloc());
  if (packet == nullptr) {
    return fail("av_packet_alloc failed");
  }
  for (;;) {
    const int received = avcodec_receive_packet(&context, packet.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return {};
    }
    if (received < 0) {
      return fail(str_cat("avcodec_receive_packet: ", ffmpeg_error_text(received)));
    }
    stream.packets.emplace_back(packet->data, packet->data + packet->size);
    stream.packet_pts.push_back(packet->pts);
    stream.packet_dts.push_back(packet->dts);
    stream.key.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
    if (stream.spec.global_header && stream.extradata.empty()) {
      // libaom hands its sequence header over as packet side data (and keeps
      // it in-band as well) rather than in the context's extradata.
      std::size_t size = 0;
      const std::uint8_t* side =
          av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, &size);
      if (side != nullptr && size > 0) {
        stream.extradata.assign(side, side + size);
      }
    }
    av_packet_unref(packet.get());
  }
}

Status encode_segment(const AVCodec& codec, const StreamSpec& spec, const Segment& segment,
                      EncodedStream& stream) {
  AVPixelFormat pix_fmt = spec.pix_fmt;
  AVColorRange range = spec.color_range;
  auto context = open_encoder(codec, spec, segment, pix_fmt, range, spec.global_header);
  if (!context && pix_fmt == AV_PIX_FMT_YUVJ420P) {
    // Newer encoders refuse the deprecated full-range formats; the same
    // samples go in as yuv420p marked full range.
    pix_fmt = AV_PIX_FMT_YUV420P;
    range = AVCOL_RANGE_JPEG;
    context = open_encoder(codec, spec, segment, pix_fmt, range, spec.global_header);
  }
  if (!context) {
    return fail(context.error());
  }
  for (int index = segment.first_frame; index < segment.end_frame; ++index) {
    FrameHandle frame = spec_frame(spec, segment.width, segment.height, index);
    if (frame == nullptr) {
      return fail(str_cat("cannot make a ", av_get_pix_fmt_name(spec.pix_fmt), " picture"));
    }
    frame->format = pix_fmt;
    frame->color_range = range;
    frame->pts = index;
    const int sent = avcodec_send_frame(context->get(), frame.get());
    if (sent < 0) {
      return fail(str_cat("avcodec_send_frame: ", ffmpeg_error_text(sent)));
    }
    if (auto drained = drain_packets(**context, stream); !drained) {
      return drained;
    }
  }
  const int flushed = avcodec_send_frame(context->get(), nullptr);
  if (flushed < 0) {
    return fail(str_cat("avcodec_send_frame(flush): ", ffmpeg_error_text(flushed)));
  }
  if (auto drained = drain_packets(**context, stream); !drained) {
    return drained;
  }
  if (spec.global_header) {
    const AVCodecContext& opened = **context;
    if (opened.extradata != nullptr && opened.extradata_size > 0) {
      stream.extradata.assign(opened.extradata, opened.extradata + opened.extradata_size);
    }
    if (stream.extradata.empty()) {
      return fail(str_cat(codec.name, " wrote no extradata for a global header"));
    }
  }
  return {};
}

Status check_spec(const StreamSpec& spec) {
  if (spec.frame_count <= 0 || spec.width <= 0 || spec.height <= 0) {
    return fail("frame_count, width and height must be positive");
  }
  int previous = 0;
  for (const ResolutionChange& change : spec.resolution_changes) {
    if (change.first_frame <= previous || change.first_frame >= spec.frame_count ||
        change.width <= 0 || change.height <= 0) {
      return fail("resolution changes must be ascending, inside the stream and positive");
    }
    previous = change.first_frame;
  }
  if (spec.global_header && !spec.resolution_changes.empty()) {
    return fail("resolution changes carry their parameter sets in-band; no global header");
  }
  if (spec.frame_rate_num <= 0 || spec.frame_rate_den <= 0) {
    return fail("frame rate must be positive");
  }
  return {};
}

EncodedStream encode_uncached(const StreamSpec& spec) {
  EncodedStream stream;
  stream.codec = spec.codec;
  stream.spec = spec;
  if (auto valid = check_spec(spec); !valid) {
    stream.error = valid.error();
    return stream;
  }
  // SVT-AV1 prints its banner straight to stderr unless told otherwise.
  setenv("SVT_LOG", "1", 0);

  const std::vector<std::string> candidates = encoder_candidates(spec);
  if (candidates.empty()) {
    stream.error = "this FFmpeg build has no AV1 encoder";
    stream.encoder_missing = true;
    return stream;
  }
  std::string errors;
  for (const std::string& name : candidates) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
    if (codec == nullptr) {
      errors += str_cat(errors.empty() ? "" : "; ", "this FFmpeg build has no encoder ", name);
      stream.encoder_missing = candidates.size() == 1;
      continue;
    }
    EncodedStream attempt = stream;
    attempt.encoder = name;
    Status encoded;
    for (const Segment& segment : segments_of(spec)) {
      encoded = encode_segment(*codec, spec, segment, attempt);
      if (!encoded) {
        break;
      }
      for (int index = segment.first_frame; index < segment.end_frame; ++index) {
        attempt.frame_sizes.emplace_back(segment.width, segment.height);
      }
    }
    if (encoded) {
      attempt.frame_count = spec.frame_count;
      return attempt;
    }
    errors += str_cat(errors.empty() ? "" : "; ", encoded.error());
  }
  stream.error = errors;
  return stream;
}

}  // namespace

std::string StreamSpec::key() const {
  std::string text =
      str_cat(static_cast<int>(codec), "|", width, "x", height, "|", frame_count, "|g", gop_size,
              "|b", b_frames, "|h", global_header, "|", static_cast<int>(pix_fmt), "|c",
              static_cast<int>(color_range), ",", static_cast<int>(color_space), ",",
              static_cast<int>(color_primaries), ",", static_cast<int>(color_trc), "|p",
              static_cast<int>(content), ",", flat_y, ",", flat_u, ",", flat_v, "|r",
              frame_rate_num, "/", frame_rate_den, "|t", threads, "|e", encoder);
  for (const ResolutionChange& change : resolution_changes) {
    text += str_cat("|@", change.first_frame, ":", change.width, "x", change.height);
  }
  for (const auto& [name, value] : options) {
    text += str_cat("|o", name, "=", value);
  }
  return text;
}

FrameHandle EncodedStream::source_frame(int index) const {
  if (index < 0 || index >= static_cast<int>(frame_sizes.size())) {
    return nullptr;
  }
  const auto [width, height] = frame_sizes[static_cast<std::size_t>(index)];
  return spec_frame(spec, width, height, index);
}

FrameHandle make_source_frame(int width, int height, AVPixelFormat pix_fmt, int index) {
  FrameHandle frame = allocate_frame(width, height, pix_fmt);
  if (frame == nullptr) {
    return nullptr;
  }
  const AVPixFmtDescriptor& desc = *av_pix_fmt_desc_get(pix_fmt);
  const int depth = desc.comp[0].depth;
  const int side = std::max(std::min(width, height) / 4, 2);
  const int square_x = (index * 3) % std::max(width - side, 1);
  const int square_y = (index * 2) % std::max(height - side, 1);
  fill_plane(*frame, 0, width, height, depth, [&](int x, int y) {
    if (x >= square_x && x < square_x + side && y >= square_y && y < square_y + side) {
      return 230;
    }
    return 40 + x * 120 / std::max(width - 1, 1) + y * 40 / std::max(height - 1, 1);
  });
  const PlaneGeometry chroma = plane_geometry(desc, 1, width, height);
  fill_plane(*frame, 1, chroma.width, chroma.height, depth,
             [&](int x, int) { return 96 + x * 64 / std::max(chroma.width - 1, 1); });
  fill_plane(*frame, 2, chroma.width, chroma.height, depth,
             [&](int, int y) { return 160 - y * 64 / std::max(chroma.height - 1, 1) + index % 8; });
  return frame;
}

FrameHandle make_flat_frame(int width, int height, AVPixelFormat pix_fmt, int y, int u, int v) {
  FrameHandle frame = allocate_frame(width, height, pix_fmt);
  if (frame == nullptr) {
    return nullptr;
  }
  const AVPixFmtDescriptor& desc = *av_pix_fmt_desc_get(pix_fmt);
  const int values[] = {y, u, v};
  for (int plane = 0; plane < 3; ++plane) {
    const PlaneGeometry geometry = plane_geometry(desc, plane, width, height);
    // Values are given at the format's own depth: no shift.
    const int value = values[plane];
    for (int row = 0; row < geometry.height; ++row) {
      std::uint8_t* line =
          frame->data[plane] + static_cast<std::ptrdiff_t>(row) * frame->linesize[plane];
      for (int x = 0; x < geometry.width; ++x) {
        if (sample_bytes(desc) == 2) {
          const auto wide = static_cast<std::uint16_t>(value);
          std::memcpy(line + 2 * x, &wide, sizeof wide);
        } else {
          line[x] = static_cast<std::uint8_t>(value);
        }
      }
    }
  }
  return frame;
}

EncodedStream encode_stream(const StreamSpec& spec) {
  // One encode at a time: the log level is process-wide, and a spec asked
  // for twice at once is still encoded once.
  static std::mutex mutex;
  static std::map<std::string, EncodedStream> cache;
  const std::string key = spec.key();
  std::lock_guard lock(mutex);
  if (auto found = cache.find(key); found != cache.end()) {
    return found->second;
  }
  const QuietFfmpegLog quiet;
  return cache.emplace(key, encode_uncached(spec)).first->second;
}

namespace {

struct QuietLogState {
  std::mutex mutex;
  int holders = 0;
  int saved_level = AV_LOG_INFO;
  int quiet_level = AV_LOG_ERROR;
};

QuietLogState& quiet_log_state() {
  static QuietLogState state;
  return state;
}

}  // namespace

QuietFfmpegLog::QuietFfmpegLog() noexcept {
  QuietLogState& state = quiet_log_state();
  std::lock_guard lock(state.mutex);
  if (state.holders++ == 0) {
    state.saved_level = av_log_get_level();
    state.quiet_level = std::min(state.saved_level, AV_LOG_ERROR);
    av_log_set_level(state.quiet_level);
  }
}

QuietFfmpegLog::~QuietFfmpegLog() {
  QuietLogState& state = quiet_log_state();
  std::lock_guard lock(state.mutex);
  if (--state.holders == 0 && av_log_get_level() == state.quiet_level) {
    av_log_set_level(state.saved_level);
  }
}

std::string default_av1_encoder() {
  for (std::string_view name : AV1_ENCODERS) {
    if (avcodec_find_encoder_by_name(std::string(name).c_str()) != nullptr) {
      return std::string(name);
    }
  }
  return "";
}

}  // namespace vantle::testing

// x264 and x265 leak a few strings from their option parsers at every open;
// a program built with LeakSanitizer would otherwise fail for them.
extern "C" __attribute__((used, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libx264.so\nleak:libx265.so\n";
}
