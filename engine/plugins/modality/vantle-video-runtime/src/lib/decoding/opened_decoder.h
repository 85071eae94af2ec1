// Owning handle of one opened FFmpeg video decoder context, with the picture
// buffers the library gives it.
#pragma once

#include <cstddef>
#include <optional>

#include "common/ffmpeg.h"
#include "decoding/decoder_pictures.h"

namespace vantle {

class OpenedDecoder {
 public:
  explicit OpenedDecoder(CodecContextHandle context,
                         DecoderPicturesHandle pictures = nullptr) noexcept;
  OpenedDecoder(OpenedDecoder&&) noexcept = default;
  // The context goes first: closing it returns its pictures to their pools.
  OpenedDecoder& operator=(OpenedDecoder&& other) noexcept;

  AVCodecContext* get() const noexcept { return context_.get(); }
  // The context's reorder delay (has_b_frames) when the handle was made,
  // right after opening: what the decoder had learned from the extradata
  // alone.
  int opened_reorder_delay() const noexcept { return opened_reorder_delay_; }
  // The picture buffers of the library's that the decoder holds, in bytes;
  // nothing when FFmpeg allocates them (decoding/decoder_pictures.h).
  std::optional<std::size_t> picture_bytes() const noexcept;
  // Its pictures' blocks are unmapped when it closes (discard_decoder_pictures).
  void discard_pictures() noexcept;

 private:
  // Declared first, destroyed last: the context closes before its pictures.
  DecoderPicturesHandle pictures_;
  CodecContextHandle context_;
  int opened_reorder_delay_ = 0;
};

}  // namespace vantle
