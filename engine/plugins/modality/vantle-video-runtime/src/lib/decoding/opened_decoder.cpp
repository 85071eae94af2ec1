#include "decoding/opened_decoder.h"

#include <atomic>

namespace vantle {

namespace {
std::atomic<std::size_t> LIVE_DECODERS{0};
}  // namespace

OpenedDecoder::OpenedDecoder(CodecContextHandle context) noexcept
    : context_(std::move(context)), opened_reorder_delay_(context_ ? context_->has_b_frames : 0) {
  LIVE_DECODERS.fetch_add(1, std::memory_order_relaxed);
}

OpenedDecoder& OpenedDecoder::operator=(OpenedDecoder&& other) noexcept {
  if (this != &other) {
    if (context_) {
      LIVE_DECODERS.fetch_sub(1, std::memory_order_relaxed);
    }
    context_ = std::move(other.context_);
    opened_reorder_delay_ = other.opened_reorder_delay_;
  }
  return *this;
}

OpenedDecoder::~OpenedDecoder() {
  if (context_) {
    LIVE_DECODERS.fetch_sub(1, std::memory_order_relaxed);
  }
}

std::size_t OpenedDecoder::live_count() noexcept {
  return LIVE_DECODERS.load(std::memory_order_relaxed);
}

}  // namespace vantle
