// Owning handle of one opened FFmpeg video decoder context.
#pragma once

#include <cstddef>

#include "common/ffmpeg.h"

namespace vantle {

class OpenedDecoder {
 public:
  explicit OpenedDecoder(CodecContextHandle context) noexcept;
  OpenedDecoder(OpenedDecoder&&) noexcept = default;
  OpenedDecoder& operator=(OpenedDecoder&& other) noexcept;
  ~OpenedDecoder();

  AVCodecContext* get() const noexcept { return context_.get(); }
  // The context's reorder delay (has_b_frames) when the handle was made,
  // right after opening: what the decoder had learned from the extradata
  // alone.
  int opened_reorder_delay() const noexcept { return opened_reorder_delay_; }

  // Opened decoders alive in the process right now (pooled or in use), so
  // tests can see that pools free what they hold.
  static std::size_t live_count() noexcept;

 private:
  CodecContextHandle context_;
  int opened_reorder_delay_ = 0;
};

}  // namespace vantle
