#include "support/reference_decode.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
}

#include <cmath>
#include <cstring>
#include <limits>

#include "common/ffmpeg_error.h"
#include "common/text.h"
#include "decoding/runtime_codec.h"
#include "media/ffmpeg_handles.h"

namespace vantle::testing {

namespace {

Result<CodecContextHandle> open_decoder(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                                        const ReferenceDecodeOptions& options) {
  const AVCodec* decoder = options.decoder.empty()
                               ? avcodec_find_decoder(ffmpeg_id(codec))
                               : avcodec_find_decoder_by_name(options.decoder.c_str());
  if (decoder == nullptr) {
    return fail(str_cat("no FFmpeg decoder for ",
                        options.decoder.empty() ? std::string(name(codec)) : options.decoder));
  }
  CodecContextHandle context(avcodec_alloc_context3(decoder));
  if (context == nullptr) {
    return fail("avcodec_alloc_context3 failed");
  }
  context->thread_count = options.thread_count;
  context->has_b_frames = options.reorder_delay;
  if (!media::set_extradata(*context, extradata)) {
    return fail("av_mallocz failed");
  }
  const int opened = avcodec_open2(context.get(), decoder, nullptr);
  if (opened < 0) {
    return fail(str_cat("avcodec_open2: ", ffmpeg_error_text(opened)));
  }
  return context;
}

Status receive_all(AVCodecContext& context, std::vector<ReferenceFrame>& frames) {
  FrameHandle frame(av_frame_alloc());
  if (frame == nullptr) {
    return fail("av_frame_alloc failed");
  }
  for (;;) {
    const int received = avcodec_receive_frame(&context, frame.get());
    if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) {
      return {};
    }
    if (received < 0) {
      return fail(str_cat("avcodec_receive_frame: ", ffmpeg_error_text(received)));
    }
    frames.push_back(reference_frame_of(*frame));
    av_frame_unref(frame.get());
  }
}

}  // namespace

Result<std::vector<ReferenceFrame>> reference_decode(
    RuntimeCodec codec, std::span<const std::uint8_t> extradata,
    const std::vector<std::vector<std::uint8_t>>& packets, const ReferenceDecodeOptions& options) {
  const QuietFfmpegLog quiet;
  auto context = open_decoder(codec, extradata, options);
  if (!context) {
    return fail(context.error());
  }
  PacketHandle packet(av_packet_alloc());
  if (packet == nullptr) {
    return fail("av_packet_alloc failed");
  }
  std::vector<ReferenceFrame> frames;
  for (std::size_t index = 0; index < packets.size(); ++index) {
    const std::vector<std::uint8_t>& bytes = packets[index];
    if (bytes.empty()) {
      continue;
    }
    // av_new_packet zeroes the input padding behind the payload.
    const int made = av_new_packet(packet.get(), static_cast<int>(bytes.size()));
    if (made < 0) {
      return fail(str_cat("av_new_packet: ", ffmpeg_error_text(made)));
    }
    std::memcpy(packet->data, bytes.data(), bytes.size());
    if (options.packet_index_pts) {
      packet->pts = static_cast<std::int64_t>(index);
    }
    int sent = avcodec_send_packet(context->get(), packet.get());
    while (sent == AVERROR(EAGAIN)) {
      if (auto drained = receive_all(**context, frames); !drained) {
        return fail(drained.error());
      }
      sent = avcodec_send_packet(context->get(), packet.get());
    }
    av_packet_unref(packet.get());
    if (sent < 0 && options.skip_refused_packets) {
      if (options.refused_packets != nullptr) {
        options.refused_packets->push_back(index);
      }
      continue;
    }
    if (sent < 0) {
      return fail(str_cat("avcodec_send_packet(", index, "): ", ffmpeg_error_text(sent)));
    }
    if (auto drained = receive_all(**context, frames); !drained) {
      return fail(drained.error());
    }
  }
  const int flushed = avcodec_send_packet(context->get(), nullptr);
  if (flushed < 0) {
    return fail(str_cat("avcodec_send_packet(flush): ", ffmpeg_error_text(flushed)));
  }
  if (auto drained = receive_all(**context, frames); !drained) {
    return fail(drained.error());
  }
  return frames;
}

Result<std::vector<ReferenceFrame>> reference_decode(const EncodedStream& stream,
                                                     const ReferenceDecodeOptions& options) {
  return reference_decode(stream.codec, stream.extradata, stream.packets, options);
}

Result<std::vector<ReferenceFrame>> reference_decode(const EncodedStream& stream, std::size_t first,
                                                     std::size_t count,
                                                     const ReferenceDecodeOptions& options) {
  if (first > stream.packets.size() || count > stream.packets.size() - first) {
    return fail("packet range outside the stream");
  }
  const auto begin = stream.packets.begin() + static_cast<std::ptrdiff_t>(first);
  const std::vector<std::vector<std::uint8_t>> packets(begin,
                                                       begin + static_cast<std::ptrdiff_t>(count));
  return reference_decode(stream.codec, stream.extradata, packets, options);
}

std::vector<std::vector<std::uint8_t>> packed_planes(const AVFrame& frame) {
  std::vector<std::vector<std::uint8_t>> planes;
  const auto format = static_cast<AVPixelFormat>(frame.format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  if (desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0) {
    return planes;
  }
  const int count = av_pix_fmt_count_planes(format);
  for (int plane = 0; plane < count; ++plane) {
    const int row_bytes = av_image_get_linesize(format, frame.width, plane);
    const bool chroma = (plane == 1 || plane == 2) && desc->nb_components >= 3;
    const int rows = chroma ? AV_CEIL_RSHIFT(frame.height, desc->log2_chroma_h) : frame.height;
    if (row_bytes <= 0 || rows <= 0) {
      break;
    }
    std::vector<std::uint8_t>& packed =
        planes.emplace_back(static_cast<std::size_t>(row_bytes) * static_cast<std::size_t>(rows));
    for (int row = 0; row < rows; ++row) {
      std::memcpy(packed.data() + static_cast<std::size_t>(row) * row_bytes,
                  frame.data[plane] + static_cast<std::ptrdiff_t>(row) * frame.linesize[plane],
                  static_cast<std::size_t>(row_bytes));
    }
  }
  return planes;
}

ReferenceFrame reference_frame_of(const AVFrame& frame) {
  ReferenceFrame out;
  out.width = frame.width;
  out.height = frame.height;
  out.pix_fmt = static_cast<AVPixelFormat>(frame.format);
  out.pts = frame.pts;
  out.best_effort_timestamp = frame.best_effort_timestamp;
#if VANTLE_FFMPEG_HAS_FRAME_FLAGS
  out.key = (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
  out.key = frame.key_frame != 0;
#endif
  out.colour = media::colour_of(frame);
  out.planes = packed_planes(frame);
  return out;
}

double psnr(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  if (a.size() != b.size() || a.empty()) {
    return 0.0;
  }
  double squared = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double difference = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    squared += difference * difference;
  }
  if (squared == 0.0) {
    return std::numeric_limits<double>::infinity();
  }
  const double mean = squared / static_cast<double>(a.size());
  return 10.0 * std::log10(255.0 * 255.0 / mean);
}

std::span<const std::uint8_t> bytes_of(const RuntimeBytes& bytes) {
  if (bytes.data == nullptr || bytes.len == 0) {
    return {};
  }
  return {bytes.data, bytes.len};
}

}  // namespace vantle::testing
