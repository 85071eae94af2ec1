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

  // Opened decoders alive in the process right now (pooled or in use), so
  // tests can see that pools free what they hold.
  static std::size_t live_count() noexcept;

 private:
  CodecContextHandle context_;
};

}  // namespace vantle
