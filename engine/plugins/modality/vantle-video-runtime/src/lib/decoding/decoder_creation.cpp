#include "decoding/decoder_creation.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "common/ffmpeg_error.h"
#include "common/text.h"
#include "decoding/decoder_pictures.h"
#include "decoding/decoder_reuse.h"
#include "decoding/runtime_codec.h"

namespace vantle {

Status set_decoder_extradata(AVCodecContext* context, ByteView bytes) {
  const std::size_t n = bytes.size();
  std::size_t padded = 0;
  if (__builtin_add_overflow(n, static_cast<std::size_t>(AV_INPUT_BUFFER_PADDING_SIZE), &padded)) {
    return fail("FFmpeg decoder extradata size overflow");
  }
  auto* buffer = static_cast<std::uint8_t*>(av_mallocz(padded));
  if (buffer == nullptr) {
    return fail("failed to allocate FFmpeg decoder extradata");
  }
  std::memcpy(buffer, bytes.data(), n);
  // From here the context owns the buffer, also on the failure below.
  context->extradata = buffer;
  if (n > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return fail("FFmpeg decoder extradata exceeds i32");
  }
  context->extradata_size = static_cast<int>(n);
  return {};
}

Result<OpenedDecoder> take_or_create_decoder(const DecoderPoolKey& key) {
  if (auto pooled = thread_decoder_pool().take(key)) {
    // Flushed now rather than when stored: the memory the flush frees is
    // taken straight back by this run instead of going to the host's
    // allocations in between.
    reset_to_fresh(*pooled);
    return std::move(*pooled);
  }
  // Declared before the context, so that it outlives it on every return.
  DecoderPicturesHandle pictures;
  CodecContextHandle context(avcodec_alloc_context3(nullptr));
  if (!context) {
    return fail(str_cat("failed to allocate FFmpeg ", name(key.codec), " decoder context"));
  }
  context->thread_type = FF_THREAD_FRAME;
  // The field is a C int: keep the low 32 bits of the key's count.
  context->thread_count = static_cast<int>(static_cast<std::uint32_t>(key.thread_count));
  if (key.max_pixels != 0) {
    // FFmpeg counts a picture's width rounded up to its stride alignment (at
    // most 64 pixels more): room for 64 columns of the tallest picture a
    // decoder makes keeps a picture within the limit from being refused
    // here. The exact limit is the library's own check of what the stream
    // declares; this one catches what that cannot read.
    constexpr std::uint64_t ALIGNMENT_ROOM = std::uint64_t{64} * 65536;
    context->max_pixels = static_cast<std::int64_t>(
        std::min<std::uint64_t>(key.max_pixels,
                                std::numeric_limits<std::int64_t>::max() - ALIGNMENT_ROOM) +
        ALIGNMENT_ROOM);
  }
  if (key.codec == RuntimeCodec::H264) {
    // A stream whose SPS states no reorder depth (no VUI bitstream_restriction)
    // would otherwise start with a guessed depth of 0 and lose every picture
    // that comes too late for it. Strict compliance makes the decoder assume
    // the depth the level's DPB size allows, which no conforming stream
    // exceeds; every call drains the decoder, so the longer delay loses
    // nothing. Only H.264: libdav1d reads the same field as "stop at the
    // first error", which changes what damaged AV1 streams give.
    context->strict_std_compliance = FF_COMPLIANCE_STRICT;
  }
  if (!key.extradata.empty()) {
    if (auto installed = set_decoder_extradata(context.get(), key.extradata); !installed) {
      return fail(std::move(installed.error()));
    }
  }
  const AVCodec* decoder = avcodec_find_decoder(ffmpeg_id(key.codec));
  if (decoder == nullptr) {
    return fail(str_cat("failed to locate FFmpeg ", name(key.codec), " decoder"));
  }
  pictures = attach_decoder_pictures(*context, *decoder);
  if (const int rc = avcodec_open2(context.get(), decoder, nullptr); rc != 0) {
    return fail(str_cat("failed to create FFmpeg ", name(key.codec),
                        " decoder: ", ffmpeg_error_text(rc)));
  }
  if (context->codec_type != AVMEDIA_TYPE_VIDEO) {
    return fail(str_cat("failed to create FFmpeg ", name(key.codec),
                        " decoder: ", ffmpeg_error_text(AVERROR_INVALIDDATA)));
  }
  return OpenedDecoder(std::move(context), std::move(pictures));
}

}  // namespace vantle
