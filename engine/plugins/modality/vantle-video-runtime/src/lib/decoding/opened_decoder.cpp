#include "decoding/opened_decoder.h"

#include <utility>

namespace vantle {

OpenedDecoder::OpenedDecoder(CodecContextHandle context) noexcept
    : context_(std::move(context)), opened_reorder_delay_(context_ ? context_->has_b_frames : 0) {}

}  // namespace vantle
