#include "support/media.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <string_view>

#include "common/result.h"
#include "common/text.h"
#include "media/synthetic_clip.h"

namespace vantle::testing {

namespace {

// Tried in this order for AV1 when the StreamSpec names no encoder. libaom takes
// any size (odd ones too) and every chroma layout; SVT-AV1 is the fallback.
constexpr std::string_view AV1_ENCODERS[] = {"libaom-av1", "libsvtav1"};

std::string_view default_encoder(RuntimeCodec codec) {
  switch (codec) {
    case RuntimeCodec::H264:
      return "libx264";
    case RuntimeCodec::Av1:
      return "";
    case RuntimeCodec::Vp9:
      return "libvpx-vp9";
    case RuntimeCodec::Vp8:
      return "libvpx";
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

// PictureContent::Moving, frame `index`.
void paint_moving(AVFrame& frame, int index) {
  const int width = frame.width;
  const int height = frame.height;
  const AVPixFmtDescriptor& desc = *av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const int depth = desc.comp[0].depth;
  const int side = std::max(std::min(width, height) / 4, 2);
  const int square_x = (index * 3) % std::max(width - side, 1);
  const int square_y = (index * 2) % std::max(height - side, 1);
  fill_plane(frame, 0, width, height, depth, [&](int x, int y) {
    if (x >= square_x && x < square_x + side && y >= square_y && y < square_y + side) {
      return 230;
    }
    return 40 + x * 120 / std::max(width - 1, 1) + y * 40 / std::max(height - 1, 1);
  });
  const PlaneGeometry chroma = plane_geometry(desc, 1, width, height);
  fill_plane(frame, 1, chroma.width, chroma.height, depth,
             [&](int x, int) { return 96 + x * 64 / std::max(chroma.width - 1, 1); });
  fill_plane(frame, 2, chroma.width, chroma.height, depth,
             [&](int, int y) { return 160 - y * 64 / std::max(chroma.height - 1, 1) + index % 8; });
}

// Every sample of plane i holds the i-th value, given at the format's own
// depth (no shift).
void paint_flat(AVFrame& frame, int y, int u, int v) {
  const AVPixFmtDescriptor& desc = *av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const int values[] = {y, u, v};
  for (int plane = 0; plane < 3; ++plane) {
    const PlaneGeometry geometry = plane_geometry(desc, plane, frame.width, frame.height);
    const int value = values[plane];
    for (int row = 0; row < geometry.height; ++row) {
      std::uint8_t* line =
          frame.data[plane] + static_cast<std::ptrdiff_t>(row) * frame.linesize[plane];
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
}

// The picture of frame `index` as StreamSpec describes it.
void paint_spec(const StreamSpec& spec, AVFrame& frame, int index) {
  if (spec.content == PictureContent::Flat) {
    paint_flat(frame, spec.flat_y, spec.flat_u, spec.flat_v);
  } else {
    paint_moving(frame, index);
  }
  media::set_colour(frame, spec.colour);
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

// The encoder options a StreamSpec asks for: ours for the encoder first, then its own extra
// options.
std::vector<std::pair<std::string, std::string>> encoder_options(const StreamSpec& spec,
                                                                 std::string_view name) {
  std::vector<std::pair<std::string, std::string>> options;
  if (name == "libx264") {
    options = {{"x264-params", x26x_params(spec, false)}};
  } else if (name == "libx265") {
    options = {{"x265-params", x26x_params(spec, true)}};
  } else if (name == "libaom-av1") {
    options = {{"usage", "realtime"},
               {"cpu-used", "8"},
               // No hidden alt-ref pictures: one shown frame per access unit,
               // decode order equals display order.
               {"lag-in-frames", "0"},
               {"row-mt", "0"}};
  } else if (name == "libsvtav1") {
    options = {{"preset", "12"}};
  } else if (name == "libvpx-vp9" || name == "libvpx") {
    // No hidden alt-ref pictures, as for libaom above; the fastest setting.
    options = {{"deadline", "realtime"}, {"cpu-used", "8"}, {"lag-in-frames", "0"}};
  }
  options.insert(options.end(), spec.options.begin(), spec.options.end());
  return options;
}

Status encode_segment(const AVCodec& codec, const StreamSpec& spec, const Segment& segment,
                      media::EncodedPictures& pictures) {
  media::EncoderSettings settings = spec;
  settings.width = segment.width;
  settings.height = segment.height;
  settings.gop_size = spec.gop_size > 0 ? spec.gop_size : spec.frame_count + 1;
  settings.options = encoder_options(spec, codec.name);
  auto encoded = media::encode_pictures(
      codec, settings, segment.first_frame, segment.end_frame,
      [&spec](AVFrame& frame, int index) { paint_spec(spec, frame, index); }, pictures);
  if (!encoded) {
    return fail(encoded.error());
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
    media::EncodedPictures pictures;
    Status encoded;
    for (const Segment& segment : segments_of(spec)) {
      encoded = encode_segment(*codec, spec, segment, pictures);
      if (!encoded) {
        break;
      }
      for (int index = segment.first_frame; index < segment.end_frame; ++index) {
        attempt.frame_sizes.emplace_back(segment.width, segment.height);
      }
    }
    if (encoded) {
      for (media::EncodedPacket& packet : pictures.packets) {
        attempt.packets.push_back(std::move(packet.bytes));
        attempt.packet_pts.push_back(packet.pts);
        attempt.packet_dts.push_back(packet.dts);
        attempt.key.push_back(packet.key);
      }
      attempt.extradata = std::move(pictures.extradata);
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
              static_cast<int>(colour.range), ",", static_cast<int>(colour.space), ",",
              static_cast<int>(colour.primaries), ",", static_cast<int>(colour.transfer), "|p",
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
  FrameHandle frame = media::allocate_picture(width, height, spec.pix_fmt);
  if (frame != nullptr) {
    paint_spec(spec, *frame, index);
  }
  return frame;
}

FrameHandle make_source_frame(int width, int height, AVPixelFormat pix_fmt, int index) {
  FrameHandle frame = media::allocate_picture(width, height, pix_fmt);
  if (frame != nullptr) {
    paint_moving(*frame, index);
  }
  return frame;
}

FrameHandle make_flat_frame(int width, int height, AVPixelFormat pix_fmt, int y, int u, int v) {
  FrameHandle frame = media::allocate_picture(width, height, pix_fmt);
  if (frame != nullptr) {
    paint_flat(*frame, y, u, v);
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
