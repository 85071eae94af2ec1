// A software decoder's picture buffers, in blocks of the library's own
// (common/host_memory.h) rather than FFmpeg's heap.
//
// FFmpeg keeps a decoder's pictures in pools of equal buffers that it
// recycles itself. Ours are laid out exactly as FFmpeg's own pools are, but
// each buffer is a mapped block: a fresh decoder takes the blocks an earlier
// one gave back, a closed one's blocks join the kept memory under its bound
// (or are unmapped), and an idle decoder is counted with the bytes its
// pictures hold instead of a guess. The store's lock is taken only when a
// pool grows or is freed (a new picture size, the decoder closing), never
// per picture.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "common/ffmpeg.h"

namespace vantle {

class DecoderPictures;

namespace detail {
struct DecoderPicturesRelease {
  void operator()(DecoderPictures* pictures) const noexcept;
};
}  // namespace detail

// Frees the pools once no picture of theirs is left: pictures still held
// elsewhere give their blocks back when they are freed.
using DecoderPicturesHandle = std::unique_ptr<DecoderPictures, detail::DecoderPicturesRelease>;

// Installs the library's buffers on an unopened context of `codec`; null,
// leaving the context to FFmpeg's own buffers, for decoders that take none
// from their caller (libdav1d). The context must be freed before the handle.
DecoderPicturesHandle attach_decoder_pictures(AVCodecContext& context, const AVCodec& codec);

// From now on the decoder's blocks are unmapped when freed, not kept: the
// store let the decoder go as what was used longest ago (or too large to
// keep), and its pictures are as old.
void discard_decoder_pictures(DecoderPictures& pictures) noexcept;

// The bytes of every block the decoder's pictures hold now, in use or free
// in its pools; nothing once any picture came from FFmpeg's own buffers
// (hardware frames, formats laid out otherwise).
std::optional<std::size_t> decoder_picture_bytes(const DecoderPictures& pictures) noexcept;

}  // namespace vantle
