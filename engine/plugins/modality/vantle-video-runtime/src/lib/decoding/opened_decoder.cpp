#include "decoding/opened_decoder.h"

#include <utility>

namespace vantle {

OpenedDecoder::OpenedDecoder(CodecContextHandle context, DecoderPicturesHandle pictures) noexcept
    : pictures_(std::move(pictures)),
      context_(std::move(context)),
      opened_reorder_delay_(context_ ? context_->has_b_frames : 0) {}

OpenedDecoder& OpenedDecoder::operator=(OpenedDecoder&& other) noexcept {
  context_ = std::move(other.context_);
  pictures_ = std::move(other.pictures_);
  opened_reorder_delay_ = other.opened_reorder_delay_;
  return *this;
}

void OpenedDecoder::discard_pictures() noexcept {
  if (pictures_) {
    discard_decoder_pictures(*pictures_);
  }
}

std::optional<std::size_t> OpenedDecoder::picture_bytes() const noexcept {
  if (!pictures_) {
    return std::nullopt;
  }
  return decoder_picture_bytes(*pictures_);
}

}  // namespace vantle
