#include "h264_encoder/h264_gop_encoder.h"

#include <climits>
#include <cstring>
#include <utility>

#include "common/ffmpeg_error.h"
#include "common/ffmpeg_setup.h"
#include "common/text.h"

namespace vantle {

namespace {

// Only the code points this system recognises reach the encoder; anything
// else is written as unspecified (0).
int recognised_color_range(int code) {
  return code == 1 || code == 2 ? code : 0;
}

int recognised_color_space(int code) {
  if (code >= 0 && code <= 17) {
    return code;
  }
  return code == 18 ? 2 : 0;
}

int recognised_color_primaries(int code) {
  return (code >= 1 && code <= 12) || code == 22 ? code : 0;
}

int recognised_color_trc(int code) {
  return code >= 1 && code <= 18 ? code : 0;
}

Result<int> frame_rate_term(std::uint32_t value) {
  if (value > static_cast<std::uint32_t>(INT32_MAX)) {
    return fail("H.264 frame rate exceeds i32");
  }
  return static_cast<int>(value);
}

// swscale reads the full-range formats (yuvj420p and the like) as full
// range and would write limited-range YUV420P, while the encoder tags the
// group with the first frame's range: the samples keep their range instead.
Status keep_sample_range(SwsContext& context) {
  int* inverse_table = nullptr;
  int* table = nullptr;
  int source_range = 0;
  int destination_range = 0;
  int brightness = 0;
  int contrast = 0;
  int saturation = 0;
  if (sws_getColorspaceDetails(&context, &inverse_table, &source_range, &table, &destination_range,
                               &brightness, &contrast, &saturation) < 0) {
    return fail(
        str_cat("failed to create YUV420 converter: ", ffmpeg_error_text(AVERROR_INVALIDDATA)));
  }
  if (source_range == destination_range) {
    return {};
  }
  if (sws_setColorspaceDetails(&context, inverse_table, source_range, table, source_range,
                               brightness, contrast, saturation) < 0) {
    return fail(
        str_cat("failed to create YUV420 converter: ", ffmpeg_error_text(AVERROR_INVALIDDATA)));
  }
  return {};
}

bool starts_with_annex_b_start_code(const std::uint8_t* data, int size) {
  static constexpr std::uint8_t SHORT_CODE[] = {0, 0, 1};
  static constexpr std::uint8_t LONG_CODE[] = {0, 0, 0, 1};
  return (size >= 3 && std::memcmp(data, SHORT_CODE, 3) == 0) ||
         (size >= 4 && std::memcmp(data, LONG_CODE, 4) == 0);
}

}  // namespace

Result<H264GopEncoder> H264GopEncoder::open(const AVFrame& first_frame,
                                            std::uint32_t frame_rate_num,
                                            std::uint32_t frame_rate_den, std::uint64_t bit_rate,
                                            std::size_t group_size) {
  // By id, not by name: whichever H.264 encoder the FFmpeg build prefers.
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (codec == nullptr) {
    return fail("FFmpeg provides no H.264 encoder; install an FFmpeg build with one");
  }
  CodecContextHandle context(avcodec_alloc_context3(codec));
  if (!context) {
    return fail("failed to allocate FFmpeg H.264 encoder context");
  }
  context->thread_type = FF_THREAD_FRAME;
  // The low 32 bits, as for decoders.
  context->thread_count =
      static_cast<int>(static_cast<std::uint32_t>(ffmpeg_thread_count_from_env()));

  if (context->codec_type == AVMEDIA_TYPE_UNKNOWN) {
    context->codec_type = AVMEDIA_TYPE_VIDEO;
  } else if (context->codec_type != AVMEDIA_TYPE_VIDEO) {
    return fail(
        str_cat("failed to create FFmpeg H.264 encoder: ", ffmpeg_error_text(AVERROR_INVALIDDATA)));
  }

  // Both conversions come before the positivity test.
  auto num = frame_rate_term(frame_rate_num);
  if (!num) {
    return fail(std::move(num.error()));
  }
  auto den = frame_rate_term(frame_rate_den);
  if (!den) {
    return fail(std::move(den.error()));
  }
  if (*num < 1 || *den < 1) {
    return fail("H.264 frame rate must be positive");
  }

  context->width = first_frame.width;
  context->height = first_frame.height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  // Stored as given, not reduced: 30000/1001 keeps a time base of 1001/30000.
  context->framerate = AVRational{*num, *den};
  context->time_base = AVRational{*den, *num};

  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    if (bit_rate > SIZE_MAX) {
      return fail("H.264 bit rate exceeds usize");
    }
  }
  context->bit_rate = static_cast<std::int64_t>(static_cast<std::size_t>(bit_rate));

  if (group_size > UINT32_MAX) {
    return fail("H.264 group exceeds u32");
  }
  context->gop_size = static_cast<int>(static_cast<std::uint32_t>(group_size));
  // No B-frames: access units leave in the order frames went in.
  context->max_b_frames = 0;

  set_enum_code(context->color_range, recognised_color_range(enum_code(first_frame.color_range)));
  set_enum_code(context->colorspace, recognised_color_space(enum_code(first_frame.colorspace)));
  set_enum_code(context->color_primaries,
                recognised_color_primaries(enum_code(first_frame.color_primaries)));
  set_enum_code(context->color_trc, recognised_color_trc(enum_code(first_frame.color_trc)));

  // No options and no global-header flag: the encoder's defaults hold and
  // parameter sets travel inside the access units.
  if (const int rc = avcodec_open2(context.get(), codec, nullptr); rc != 0) {
    return fail(
        str_cat("failed to open FFmpeg ", codec->name, " encoder: ", ffmpeg_error_text(rc)));
  }
  return H264GopEncoder(std::move(context));
}

Status H264GopEncoder::encode(FrameHandle frame, std::vector<ByteBuffer>& access_units) {
  auto converted = yuv420p(std::move(frame));
  if (!converted) {
    return fail(std::move(converted.error()));
  }
  FrameHandle picture = std::move(*converted);
  // The encoder reads the frame with the size it was opened for; a larger
  // or smaller picture (a resolution change in the source) would make it
  // read outside the frame's buffers, so it never gets that far.
  if (picture->width != encoder_->width || picture->height != encoder_->height) {
    return fail(str_cat("failed to send frame to H.264 encoder: ",
                        ffmpeg_error_text(AVERROR_INPUT_CHANGED)));
  }
  // One frame interval per frame, whatever timestamps the decoder gave.
  picture->pts = next_pts_++;
  // The decoder's picture type must not force key frames inside the group.
  picture->pict_type = AV_PICTURE_TYPE_NONE;
  if (const int rc = avcodec_send_frame(encoder_.get(), picture.get()); rc < 0) {
    return fail(str_cat("failed to send frame to H.264 encoder: ", ffmpeg_error_text(rc)));
  }
  return drain(access_units);
}

Status H264GopEncoder::finish(std::vector<ByteBuffer>& access_units) && {
  // Destroyed on return, whatever the outcome.
  H264GopEncoder finished = std::move(*this);
  if (const int rc = avcodec_send_frame(finished.encoder_.get(), nullptr); rc < 0) {
    return fail(str_cat("failed to flush H.264 encoder: ", ffmpeg_error_text(rc)));
  }
  return finished.drain(access_units);
}

namespace {

// libx264 reads the chroma row just below the picture of the frame it is
// given, and its SIMD plane copies read each row rounded up to 16 or 32
// samples, past the picture's right edge; what it finds there changes the
// access units. Decoders leave both uninitialised (FFmpeg's H.265 decoder
// does), so the same request re-encoded differently from one call to the
// next. Every frame the encoder gets is therefore one of ours, in which each
// row's last sample fills the rest of its line and the last row of each plane
// is repeated in the room below the picture.
constexpr int ROWS_BELOW = 32;

Result<FrameHandle> allocate_encoder_frame(int width, int height) {
  FrameHandle frame(av_frame_alloc());
  if (!frame) {
    return fail("failed to allocate FFmpeg frame for YUV420 conversion");
  }
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height + ROWS_BELOW;
  if (const int rc = av_frame_get_buffer(frame.get(), 32); rc < 0) {
    return fail(
        str_cat("failed to allocate FFmpeg frame for YUV420 conversion: ", ffmpeg_error_text(rc)));
  }
  frame->height = height;
  return frame;
}

void pad_picture_edges(AVFrame& frame) {
  for (int plane = 0; plane < 3; ++plane) {
    const int shift = plane == 0 ? 0 : 1;
    const int rows = (frame.height + shift) >> shift;
    const int columns = (frame.width + shift) >> shift;
    const std::ptrdiff_t stride = frame.linesize[plane];
    for (int row = 0; row < rows; ++row) {
      std::uint8_t* line = frame.data[plane] + row * stride;
      std::memset(line + columns, line[columns - 1], static_cast<std::size_t>(stride - columns));
    }
    const std::uint8_t* last = frame.data[plane] + (rows - 1) * stride;
    for (int row = rows; row < rows + (ROWS_BELOW >> shift); ++row) {
      std::memcpy(frame.data[plane] + row * stride, last, static_cast<std::size_t>(stride));
    }
  }
}

}  // namespace

Result<FrameHandle> H264GopEncoder::yuv420p(FrameHandle frame) {
  const auto format = static_cast<AVPixelFormat>(frame->format);
  if (format == AV_PIX_FMT_YUV420P) {
    auto copy = allocate_encoder_frame(frame->width, frame->height);
    if (!copy) {
      return fail(std::move(copy.error()));
    }
    if (const int rc = av_frame_copy(copy->get(), frame.get()); rc < 0) {
      return fail(str_cat("failed to copy frame for H.264 encoding: ", ffmpeg_error_text(rc)));
    }
    pad_picture_edges(**copy);
    return copy;
  }
  const auto width = static_cast<std::uint32_t>(frame->width);
  const auto height = static_cast<std::uint32_t>(frame->height);
  if (!scaler_) {
    // swscale asserts (aborts) on a format it has no descriptor for, a frame
    // without a format included, instead of failing.
    SwsContextHandle context(sws_isSupportedInput(format) > 0
                                 ? sws_getContext(frame->width, frame->height, format, frame->width,
                                                  frame->height, AV_PIX_FMT_YUV420P, SWS_BILINEAR,
                                                  nullptr, nullptr, nullptr)
                                 : nullptr);
    if (!context) {
      return fail(
          str_cat("failed to create YUV420 converter: ", ffmpeg_error_text(AVERROR_INVALIDDATA)));
    }
    if (auto kept = keep_sample_range(*context); !kept) {
      return fail(std::move(kept.error()));
    }
    scaler_ = Yuv420pScaler{.context = std::move(context),
                            .source_format = format,
                            .source_width = width,
                            .source_height = height,
                            .destination_format = AV_PIX_FMT_YUV420P,
                            .destination_width = width,
                            .destination_height = height};
  }
  // Made once per encoder and never rebuilt.
  if (format != scaler_->source_format || width != scaler_->source_width ||
      height != scaler_->source_height) {
    return fail(
        str_cat("failed to convert frame to YUV420: ", ffmpeg_error_text(AVERROR_INPUT_CHANGED)));
  }
  auto converted = allocate_encoder_frame(static_cast<int>(scaler_->destination_width),
                                          static_cast<int>(scaler_->destination_height));
  if (!converted) {
    return fail(std::move(converted.error()));
  }
  sws_scale(scaler_->context.get(), frame->data, frame->linesize, 0, frame->height,
            (*converted)->data, (*converted)->linesize);
  pad_picture_edges(**converted);
  return converted;
}

Status H264GopEncoder::drain(std::vector<ByteBuffer>& access_units) {
  // One packet object serves every receive of this call.
  PacketHandle packet(av_packet_alloc());
  if (!packet) {
    return fail("failed to allocate FFmpeg packet for H.264 encoding");
  }
  for (;;) {
    const int rc = avcodec_receive_packet(encoder_.get(), packet.get());
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
      return {};
    }
    if (rc < 0) {
      return fail(str_cat("H.264 encoding failed: ", ffmpeg_error_text(rc)));
    }
    if (auto checked = check_access_unit(*packet, access_units.empty()); !checked) {
      return checked;
    }
    auto access_unit = ByteBuffer::copy_of(packet->data, static_cast<std::size_t>(packet->size));
    if (!access_unit) {
      return fail(std::move(access_unit.error()));
    }
    access_units.push_back(std::move(*access_unit));
  }
}

Status check_access_unit(const AVPacket& packet, bool first_of_group) {
  if (packet.data == nullptr) {
    return fail("H.264 encoder returned an empty access unit");
  }
  if (first_of_group && (packet.flags & AV_PKT_FLAG_KEY) == 0) {
    return fail("H.264 group of pictures does not start with a keyframe");
  }
  if (!starts_with_annex_b_start_code(packet.data, packet.size)) {
    return fail("H.264 encoder did not emit Annex B access units");
  }
  return {};
}

}  // namespace vantle
