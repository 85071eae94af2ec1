#include "decoding/decoder_pictures.h"

#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "common/host_memory.h"
#include "common/thread_annotations.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
}

namespace vantle {

namespace {

// FFmpeg's pools add 16 + STRIDE_ALIGN - 1 bytes to each plane; STRIDE_ALIGN
// is 64 where FFmpeg was built for AVX-512, 32 otherwise: room for the wider.
constexpr std::size_t PLANE_PADDING = 16 + 64 - 1;
// A block's data starts after its header, on the 64-byte boundary FFmpeg's
// widest SIMD loads and stores expect.
constexpr std::size_t DATA_OFFSET = 64;
constexpr int PLANES = 4;

using BufferPoolHandle = FfmpegHandle<AVBufferPool, av_buffer_pool_uninit>;

}  // namespace

class DecoderPictures {
 public:
  // Held by the decoder's handle and by each pool FFmpeg has not freed yet;
  // the last to let go deletes it.
  void hold() noexcept { holds_.fetch_add(1, std::memory_order_relaxed); }
  void let_go() noexcept {
    if (holds_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
    }
  }

  int get(AVCodecContext& context, AVFrame& frame) EXCLUDES(mutex_);
  void close() noexcept EXCLUDES(mutex_);

  std::atomic<std::size_t> bytes{0};
  std::atomic<bool> foreign{false};
  std::atomic<bool> discarded{false};

 private:
  int lay_out(AVCodecContext& context, const AVFrame& frame) REQUIRES(mutex_);

  std::atomic<std::size_t> holds_{1};
  // FFmpeg calls for buffers from one thread at a time, but not always the
  // same one (frame threads).
  Mutex mutex_;
  int format_ GUARDED_BY(mutex_) = AV_PIX_FMT_NONE;
  int width_ GUARDED_BY(mutex_) = 0;
  int height_ GUARDED_BY(mutex_) = 0;
  std::array<int, PLANES> linesizes_ GUARDED_BY(mutex_) = {};
  std::array<BufferPoolHandle, PLANES> pools_ GUARDED_BY(mutex_);
};

namespace {

// In front of each block's data.
struct BlockHeader {
  DecoderPictures* owner;
  std::size_t length;
};
static_assert(sizeof(BlockHeader) <= DATA_OFFSET);

// May run on any thread, FFmpeg's pool lock held.
void release_plane(void* opaque, std::uint8_t* /*data*/) noexcept {
  const BlockHeader header = *static_cast<BlockHeader*>(opaque);
  header.owner->bytes.fetch_sub(header.length, std::memory_order_relaxed);
  give_back_library_block(opaque, header.length,
                          !header.owner->discarded.load(std::memory_order_relaxed));
}

AVBufferRef* allocate_plane(void* opaque, std::size_t size) noexcept {
  auto* owner = static_cast<DecoderPictures*>(opaque);
  const std::size_t length = host_mapping_length(checked_host_size(size, DATA_OFFSET));
  bool fresh = false;
  void* base = take_library_block(length, fresh);
  if (base == nullptr) {
    return nullptr;
  }
  auto* data = static_cast<std::uint8_t*>(base) + DATA_OFFSET;
  if (!fresh) {
    // As FFmpeg's own pools: what a damaged stream leaves unwritten shows
    // zeros, not an earlier picture or a host's released buffer.
    std::memset(data, 0, size);
  }
  new (base) BlockHeader{owner, length};
  AVBufferRef* buffer = av_buffer_create(data, size, release_plane, base, 0);
  if (buffer == nullptr) {
    give_back_library_block(base, length);
    return nullptr;
  }
  owner->bytes.fetch_add(length, std::memory_order_relaxed);
  return buffer;
}

// FFmpeg frees a pool once it is uninitialised and its last buffer is back.
void release_pool(void* opaque) noexcept {
  static_cast<DecoderPictures*>(opaque)->let_go();
}

int get_picture_buffer(AVCodecContext* context, AVFrame* frame, int flags) noexcept {
  auto* pictures = static_cast<DecoderPictures*>(context->opaque);
  const AVPixFmtDescriptor* format = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  constexpr std::uint64_t LAID_OUT_OTHERWISE =
      AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM;
  if (format == nullptr || (format->flags & LAID_OUT_OTHERWISE) != 0 ||
      context->hw_frames_ctx != nullptr || context->codec_type != AVMEDIA_TYPE_VIDEO) {
    pictures->foreign.store(true, std::memory_order_relaxed);
    return avcodec_default_get_buffer2(context, frame, flags);
  }
  if (const int rc = pictures->get(*context, *frame); rc != AVERROR(ENOMEM)) {
    return rc;
  }
  // The system refused a mapping (an address-space limit): the C heap may
  // still have room in memory it already holds.
  pictures->foreign.store(true, std::memory_order_relaxed);
  return avcodec_default_get_buffer2(context, frame, flags);
}

}  // namespace

// FFmpeg's own layout (libavcodec's update_frame_pool): the picture's size
// aligned for the codec, the width widened until every line meets its
// stride alignment, one pool per plane.
int DecoderPictures::lay_out(AVCodecContext& context, const AVFrame& frame) {
  // Buffers in use keep their pool until they come back.
  for (BufferPoolHandle& pool : pools_) {
    pool.reset();
  }
  format_ = AV_PIX_FMT_NONE;
  linesizes_ = {};
  const auto format = static_cast<AVPixelFormat>(frame.format);
  int width = frame.width;
  int height = frame.height;
  int stride_align[AV_NUM_DATA_POINTERS] = {};
  avcodec_align_dimensions2(&context, &width, &height, stride_align);
  std::array<int, PLANES> linesizes{};
  for (bool unaligned = true; unaligned;) {
    if (const int rc = av_image_fill_linesizes(linesizes.data(), format, width); rc < 0) {
      return rc;
    }
    width += width & ~(width - 1);
    unaligned = false;
    for (int i = 0; i < PLANES; ++i) {
      unaligned = unaligned || (stride_align[i] > 0 && linesizes[i] % stride_align[i] != 0);
    }
  }
  std::ptrdiff_t plane_linesizes[PLANES];
  std::size_t sizes[PLANES];
  for (int i = 0; i < PLANES; ++i) {
    plane_linesizes[i] = linesizes[i];
  }
  if (const int rc = av_image_fill_plane_sizes(sizes, format, height, plane_linesizes); rc < 0) {
    return rc;
  }
  for (int i = 0; i < PLANES && sizes[i] != 0; ++i) {
    if (sizes[i] > INT_MAX - PLANE_PADDING) {
      pools_ = {};
      return AVERROR(EINVAL);
    }
    pools_[i].reset(av_buffer_pool_init2(sizes[i] + PLANE_PADDING, this, allocate_plane,
                                         release_pool));
    if (!pools_[i]) {
      pools_ = {};
      return AVERROR(ENOMEM);
    }
    hold();
  }
  format_ = frame.format;
  width_ = frame.width;
  height_ = frame.height;
  linesizes_ = linesizes;
  return 0;
}

int DecoderPictures::get(AVCodecContext& context, AVFrame& frame) {
  const MutexLock lock(mutex_);
  if (frame.format != format_ || frame.width != width_ || frame.height != height_) {
    if (const int rc = lay_out(context, frame); rc < 0) {
      return rc;
    }
  }
  for (int i = 0; i < AV_NUM_DATA_POINTERS; ++i) {
    frame.data[i] = nullptr;
    frame.linesize[i] = 0;
  }
  frame.extended_data = frame.data;
  for (int i = 0; i < PLANES && pools_[i]; ++i) {
    frame.buf[i] = av_buffer_pool_get(pools_[i].get());
    if (frame.buf[i] == nullptr) {
      for (int taken = 0; taken < i; ++taken) {
        av_buffer_unref(&frame.buf[taken]);
        frame.data[taken] = nullptr;
        frame.linesize[taken] = 0;
      }
      return AVERROR(ENOMEM);
    }
    frame.data[i] = frame.buf[i]->data;
    frame.linesize[i] = linesizes_[i];
  }
  return 0;
}

void DecoderPictures::close() noexcept {
  std::array<BufferPoolHandle, PLANES> pools;
  {
    const MutexLock lock(mutex_);
    pools = std::move(pools_);
  }
  // Free buffers go back now, those still held elsewhere as they are freed.
  pools = {};
  let_go();
}

void detail::DecoderPicturesRelease::operator()(DecoderPictures* pictures) const noexcept {
  pictures->close();
}

DecoderPicturesHandle attach_decoder_pictures(AVCodecContext& context, const AVCodec& codec) {
  if ((codec.capabilities & AV_CODEC_CAP_DR1) == 0 || codec.type != AVMEDIA_TYPE_VIDEO) {
    return nullptr;
  }
  DecoderPicturesHandle pictures(new DecoderPictures);
  context.opaque = pictures.get();
  context.get_buffer2 = get_picture_buffer;
#if LIBAVCODEC_VERSION_MAJOR < 60
  // Otherwise FFmpeg 5 hands every frame thread's request to the thread that
  // sends packets, and waits for it; from 6 on callbacks are always called
  // from the frame threads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  context.thread_safe_callbacks = 1;
#pragma GCC diagnostic pop
#endif
  return pictures;
}

void discard_decoder_pictures(DecoderPictures& pictures) noexcept {
  pictures.discarded.store(true, std::memory_order_relaxed);
}

std::optional<std::size_t> decoder_picture_bytes(const DecoderPictures& pictures) noexcept {
  if (pictures.foreign.load(std::memory_order_relaxed)) {
    return std::nullopt;
  }
  return pictures.bytes.load(std::memory_order_relaxed);
}

}  // namespace vantle
