// Owning handle of one opened FFmpeg video decoder context.
#pragma once

#include "common/ffmpeg.h"

namespace vantle {

class OpenedDecoder {
 public:
  explicit OpenedDecoder(CodecContextHandle context) noexcept;

  AVCodecContext* get() const noexcept { return context_.get(); }
  // The context's reorder delay (has_b_frames) when the handle was made,
  // right after opening: what the decoder had learned from the extradata
  // alone.
  int opened_reorder_delay() const noexcept { return opened_reorder_delay_; }

 private:
  CodecContextHandle context_;
  int opened_reorder_delay_ = 0;
};

}  // namespace vantle
