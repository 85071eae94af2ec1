#include "decoding/decoder_pool.h"

#include <algorithm>
#include <memory>
#include <utility>

extern "C" {
#include <libavutil/imgutils.h>
}

namespace vantle {

namespace {

constexpr std::size_t TABLES = std::size_t{1} << 20;

// A decoder whose pictures are the library's (decoding/decoder_pictures.h)
// counts the blocks they hold, used or free, exactly; others the estimate.
std::size_t idle_decoder_bytes(const OpenedDecoder& decoder) noexcept {
  if (const std::optional<std::size_t> pictures = decoder.picture_bytes()) {
    return TABLES + *pictures;
  }
  return estimated_idle_decoder_bytes(*decoder.get());
}

}  // namespace

std::size_t estimated_idle_decoder_bytes(const AVCodecContext& context) noexcept {
  const AVPixelFormat format =
      context.sw_pix_fmt != AV_PIX_FMT_NONE ? context.sw_pix_fmt : context.pix_fmt;
  const int width = std::max(context.coded_width, context.width);
  const int height = std::max(context.coded_height, context.height);
  const int picture = format == AV_PIX_FMT_NONE || width <= 0 || height <= 0
                          ? 0
                          : av_image_get_buffer_size(format, width, height, 1);
  if (picture <= 0) {
    return TABLES;
  }
  // The references (eight slots for AV1 and VP9, three for VP8, else refs),
  // the pictures held back for reordering, the one being decoded, the one
  // handed out, and one more per extra frame thread.
  const int references = context.codec_id == AV_CODEC_ID_AV1 || context.codec_id == AV_CODEC_ID_VP9
                             ? 8
                         : context.codec_id == AV_CODEC_ID_VP8 ? 3
                                                               : std::clamp(context.refs, 1, 16);
  const int threads = std::clamp(context.thread_count, 1, 64);
  const auto pictures =
      static_cast<std::size_t>(references + std::clamp(context.has_b_frames, 0, 16) + 2 +
                               threads - 1);
  return TABLES + pictures * static_cast<std::size_t>(picture);
}

DecoderPool::DecoderPool() { register_decoder_set(*this); }

DecoderPool::~DecoderPool() { unregister_decoder_set(*this); }

std::optional<std::uint64_t> DecoderPool::oldest_use() const noexcept {
  return entries_.empty() ? std::nullopt : std::optional(entries_.front().last_use);
}

std::size_t DecoderPool::evict_oldest(KeptRelease& release) {
  const std::size_t bytes = entries_.front().bytes;
  entries_.front().decoder.discard_pictures();
  // Closed once the lock is released: closing a decoder joins its threads.
  release.add(std::make_shared<Entry>(std::move(entries_.front())));
  entries_.erase(entries_.begin());
  return bytes;
}

std::size_t DecoderPool::size() const noexcept {
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  return entries_.size();
}

std::optional<OpenedDecoder> DecoderPool::take(const DecoderPoolKey& key) {
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  const auto match = std::find_if(entries_.rbegin(), entries_.rend(),
                                  [&](const Entry& entry) { return entry.key == key; });
  if (match == entries_.rend()) {
    return std::nullopt;
  }
  std::optional<OpenedDecoder> decoder(std::move(match->decoder));
  withdraw_idle_decoder(match->bytes);
  entries_.erase(std::next(match).base());
  return decoder;
}

void DecoderPool::put(DecoderPoolKey key, OpenedDecoder decoder) noexcept {
  Entry entry{std::move(key), std::move(decoder), 0, 0};
  entry.bytes = idle_decoder_bytes(entry.decoder);
  KeptRelease release;
  const MutexLock lock(KEPT_MEMORY_MUTEX);
  const std::optional<std::uint64_t> use = admit_idle_decoder(entry.bytes);
  if (!use) {
    entry.decoder.discard_pictures();
    release.add(std::make_shared<Entry>(std::move(entry)));
    return;
  }
  if (entries_.size() == DECODER_POOL_CAPACITY) {
    evict_idle_decoder(*this, release);
  }
  entry.last_use = *use;
  entries_.push_back(std::move(entry));
  trim_kept_memory(release);
}

DecoderPool& thread_decoder_pool() noexcept {
  thread_local DecoderPool pool;
  return pool;
}

}  // namespace vantle
