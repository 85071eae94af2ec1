#include "conversion/orientation.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/fatal.h"
#include "common/ffmpeg_error.h"
#include "common/text.h"

namespace vantle {

namespace {

// Bytes one sample of `plane` takes, or 0 when the plane's samples are not
// whole bytes apart.
std::size_t plane_element_size(const AVPixFmtDescriptor& desc, int plane) noexcept {
  std::size_t size = 0;
  for (int c = 0; c < desc.nb_components; ++c) {
    if (desc.comp[c].plane == plane) {
      size = std::max(size, static_cast<std::size_t>(desc.comp[c].step));
    }
  }
  return size;
}

// Where output sample (x, y) comes from: origin + x * dx + y * dy.
struct SourceWalk {
  const std::uint8_t* origin;
  std::ptrdiff_t dx;
  std::ptrdiff_t dy;
};

SourceWalk walk_for(const std::uint8_t* source, std::ptrdiff_t line, std::size_t width,
                    std::size_t height, std::ptrdiff_t element, Orientation o) noexcept {
  const auto w = static_cast<std::ptrdiff_t>(width);
  const auto h = static_cast<std::ptrdiff_t>(height);
  SourceWalk walk{source, element, line};
  switch (o.rotation) {
    case 90:  // out(x, y) = in(y, h - 1 - x)
      walk = {source + (h - 1) * line, -line, element};
      break;
    case 180:
      walk = {source + (h - 1) * line + (w - 1) * element, -element, -line};
      break;
    case 270:  // out(x, y) = in(w - 1 - y, x)
      walk = {source + (w - 1) * element, line, -element};
      break;
    default:
      break;
  }
  const std::ptrdiff_t out_w = o.swaps_axes() ? h : w;
  const std::ptrdiff_t out_h = o.swaps_axes() ? w : h;
  if (o.flip_horizontal) {
    walk.origin += (out_w - 1) * walk.dx;
    walk.dx = -walk.dx;
  }
  if (o.flip_vertical) {
    walk.origin += (out_h - 1) * walk.dy;
    walk.dy = -walk.dy;
  }
  return walk;
}

template <std::size_t Size>
void copy_walked(const SourceWalk& walk, std::size_t out_w, std::size_t out_h,
                 std::uint8_t* destination, std::ptrdiff_t destination_line) noexcept {
  // Square tiles keep both the rows written and the columns read in cache
  // when the walk crosses rows.
  constexpr std::size_t TILE = 32;
  for (std::size_t ty = 0; ty < out_h; ty += TILE) {
    const std::size_t y_end = std::min(out_h, ty + TILE);
    for (std::size_t tx = 0; tx < out_w; tx += TILE) {
      const std::size_t x_end = std::min(out_w, tx + TILE);
      for (std::size_t y = ty; y < y_end; ++y) {
        std::uint8_t* row = destination + static_cast<std::ptrdiff_t>(y) * destination_line;
        const std::uint8_t* from = walk.origin + static_cast<std::ptrdiff_t>(y) * walk.dy +
                                   static_cast<std::ptrdiff_t>(tx) * walk.dx;
        for (std::size_t x = tx; x < x_end; ++x, from += walk.dx) {
          std::memcpy(row + x * Size, from, Size);
        }
      }
    }
  }
}

// Blocks of 8 x 8 bytes or 4 x 4 16-bit samples transposed in 64-bit
// registers: a quarter turn moves every sample across rows, and one sample
// at a time costs more than the conversion that follows. Plain integer
// code, so any target takes it.
template <std::size_t Size>
struct TransposeBlock {
  static_assert(Size == 1 || Size == 2);
  static constexpr std::size_t LANES = 8 / Size;

  // The LANES samples at p, p + step, ... as one word, sample k in lane k.
  static std::uint64_t load(const std::uint8_t* p, std::ptrdiff_t step) noexcept {
    std::uint64_t word = 0;
    if (step > 0) {
      std::memcpy(&word, p, 8);
      return word;
    }
    std::memcpy(&word, p - (LANES - 1) * Size, 8);
    if constexpr (Size == 1) {
      return __builtin_bswap64(word);
    } else {
      word = (word >> 32) | (word << 32);
      return ((word >> 16) & 0x0000FFFF0000FFFFull) | ((word & 0x0000FFFF0000FFFFull) << 16);
    }
  }

  static void swap(std::uint64_t& a, std::uint64_t& b, int shift, std::uint64_t mask) noexcept {
    const std::uint64_t t = ((a >> shift) ^ b) & mask;
    b ^= t;
    a ^= t << shift;
  }

  static void transpose(std::uint64_t* r) noexcept {
    if constexpr (Size == 1) {
      for (int i = 0; i < 8; i += 2) swap(r[i], r[i + 1], 8, 0x00FF00FF00FF00FFull);
      for (int i : {0, 1, 4, 5}) swap(r[i], r[i + 2], 16, 0x0000FFFF0000FFFFull);
      for (int i = 0; i < 4; ++i) swap(r[i], r[i + 4], 32, 0x00000000FFFFFFFFull);
    } else {
      swap(r[0], r[1], 16, 0x0000FFFF0000FFFFull);
      swap(r[2], r[3], 16, 0x0000FFFF0000FFFFull);
      swap(r[0], r[2], 32, 0x00000000FFFFFFFFull);
      swap(r[1], r[3], 32, 0x00000000FFFFFFFFull);
    }
  }
};

#if defined(__SSE2__)
// 16 x 16 bytes transposed in SSE2 registers (every x86-64 has them): twice
// the samples per instruction of the 64-bit words. Source words are read
// forward; a walk that runs backwards along them stores the rows in
// reverse instead of reversing every word.
constexpr std::size_t SSE2_BLOCK = 16;

void transpose_block_sse2(const std::uint8_t* from, std::ptrdiff_t dx, bool backwards,
                          std::uint8_t* to, std::ptrdiff_t to_line) noexcept {
  __m128i a[16];
  for (int i = 0; i < 16; ++i, from += dx) {
    a[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(backwards ? from - 15 : from));
  }
  __m128i b[16];
  for (int i = 0; i < 16; i += 2) {
    b[i] = _mm_unpacklo_epi8(a[i], a[i + 1]);
    b[i + 1] = _mm_unpackhi_epi8(a[i], a[i + 1]);
  }
  for (int base = 0; base < 16; base += 4) {
    a[base] = _mm_unpacklo_epi16(b[base], b[base + 2]);
    a[base + 1] = _mm_unpackhi_epi16(b[base], b[base + 2]);
    a[base + 2] = _mm_unpacklo_epi16(b[base + 1], b[base + 3]);
    a[base + 3] = _mm_unpackhi_epi16(b[base + 1], b[base + 3]);
  }
  for (int base = 0; base < 16; base += 8) {
    for (int k = 0; k < 4; ++k) {
      b[base + 2 * k] = _mm_unpacklo_epi32(a[base + k], a[base + k + 4]);
      b[base + 2 * k + 1] = _mm_unpackhi_epi32(a[base + k], a[base + k + 4]);
    }
  }
  for (int k = 0; k < 8; ++k) {
    const __m128i low = _mm_unpacklo_epi64(b[k], b[k + 8]);
    const __m128i high = _mm_unpackhi_epi64(b[k], b[k + 8]);
    const int row = 2 * k;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + (backwards ? 15 - row : row) * to_line), low);
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(to + (backwards ? 14 - row : row + 1) * to_line), high);
  }
}
#endif

// A walk that runs backwards along rows (a half turn, a horizontal flip):
// each output row is a source row reversed, eight bytes at a time.
template <std::size_t Size>
void copy_reversed_rows(const SourceWalk& walk, std::size_t out_w, std::size_t out_h,
                        std::uint8_t* destination, std::ptrdiff_t destination_line) noexcept {
  constexpr std::size_t N = TransposeBlock<Size>::LANES;
  for (std::size_t y = 0; y < out_h; ++y) {
    std::uint8_t* row = destination + static_cast<std::ptrdiff_t>(y) * destination_line;
    const std::uint8_t* from = walk.origin + static_cast<std::ptrdiff_t>(y) * walk.dy;
    std::size_t x = 0;
    for (; x + N <= out_w; x += N, from -= 8) {
      const std::uint64_t word = TransposeBlock<Size>::load(from, -static_cast<std::ptrdiff_t>(Size));
      std::memcpy(row + x * Size, &word, 8);
    }
    for (; x < out_w; ++x, from -= Size) {
      std::memcpy(row + x * Size, from, Size);
    }
  }
}

// A walk that crosses rows (a quarter turn): output row y takes samples
// along the source's rows, one sample apart. Whole blocks go through
// TransposeBlock; the edges one sample at a time.
template <std::size_t Size>
void copy_transposed(const SourceWalk& walk, std::size_t out_w, std::size_t out_h,
                     std::uint8_t* destination, std::ptrdiff_t destination_line) noexcept {
  using Block = TransposeBlock<Size>;
#if defined(__SSE2__)
  constexpr std::size_t N = Size == 1 ? SSE2_BLOCK : Block::LANES;
#else
  constexpr std::size_t N = Block::LANES;
#endif
  const std::size_t block_w = out_w / N * N;
  const std::size_t block_h = out_h / N * N;
  // Tiles of 64 x 64 samples keep the source lines a tile reads in cache
  // while its blocks use them.
  constexpr std::size_t TILE = 64;
  std::uint64_t r[N];
  for (std::size_t ty = 0; ty < block_h; ty += TILE) {
    const std::size_t y_end = std::min(block_h, ty + TILE);
    for (std::size_t tx = 0; tx < block_w; tx += TILE) {
      const std::size_t x_end = std::min(block_w, tx + TILE);
      for (std::size_t y = ty; y < y_end; y += N) {
        for (std::size_t x = tx; x < x_end; x += N) {
          // Word i: the samples of output column x + i, rows y to y + N - 1.
          const std::uint8_t* from = walk.origin + static_cast<std::ptrdiff_t>(x) * walk.dx +
                                     static_cast<std::ptrdiff_t>(y) * walk.dy;
#if defined(__SSE2__)
          if constexpr (Size == 1) {
            transpose_block_sse2(
                from, walk.dx, walk.dy < 0,
                destination + static_cast<std::ptrdiff_t>(y) * destination_line + x,
                destination_line);
            continue;
          }
#endif
          for (std::size_t i = 0; i < N; ++i, from += walk.dx) {
            r[i] = Block::load(from, walk.dy);
          }
          Block::transpose(r);
          for (std::size_t j = 0; j < N; ++j) {
            std::memcpy(
                destination + static_cast<std::ptrdiff_t>(y + j) * destination_line + x * Size,
                &r[j], 8);
          }
        }
      }
    }
  }
  // The right edge of the block rows, then the rows below them.
  for (std::size_t y = 0; y < out_h; ++y) {
    std::uint8_t* row = destination + static_cast<std::ptrdiff_t>(y) * destination_line;
    for (std::size_t x = y < block_h ? block_w : 0; x < out_w; ++x) {
      std::memcpy(row + x * Size,
                  walk.origin + static_cast<std::ptrdiff_t>(x) * walk.dx +
                      static_cast<std::ptrdiff_t>(y) * walk.dy,
                  Size);
    }
  }
}

}  // namespace

bool can_turn_planes(AVPixelFormat format) noexcept {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  if (desc == nullptr || desc->log2_chroma_w != desc->log2_chroma_h ||
      (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                      AV_PIX_FMT_FLAG_HWACCEL)) != 0) {
    return false;
  }
  const int planes = av_pix_fmt_count_planes(format);
  for (int p = 0; p < planes; ++p) {
    const std::size_t size = plane_element_size(*desc, p);
    if (size != 1 && size != 2 && size != 4 && size != 8) {
      return false;
    }
  }
  return planes > 0;
}

void turn_plane(const std::uint8_t* source, std::ptrdiff_t source_line, std::size_t width,
                std::size_t height, std::size_t element_size, Orientation orientation,
                std::uint8_t* destination, std::ptrdiff_t destination_line) noexcept {
  const std::size_t out_w = orientation.swaps_axes() ? height : width;
  const std::size_t out_h = orientation.swaps_axes() ? width : height;
  if (out_w == 0 || out_h == 0) {
    return;
  }
  const SourceWalk walk =
      walk_for(source, source_line, width, height, static_cast<std::ptrdiff_t>(element_size),
               orientation);
  if (walk.dx == static_cast<std::ptrdiff_t>(element_size)) {
    // Rows stay rows (no turn, or a vertical flip): whole rows at a time.
    for (std::size_t y = 0; y < out_h; ++y) {
      std::memcpy(destination + static_cast<std::ptrdiff_t>(y) * destination_line,
                  walk.origin + static_cast<std::ptrdiff_t>(y) * walk.dy, out_w * element_size);
    }
    return;
  }
  const auto element = static_cast<std::ptrdiff_t>(element_size);
  const bool crosses_rows = walk.dy == element || walk.dy == -element;
  const bool reverses_rows = walk.dx == -element;
  switch (element_size) {
    case 1:
      crosses_rows    ? copy_transposed<1>(walk, out_w, out_h, destination, destination_line)
      : reverses_rows ? copy_reversed_rows<1>(walk, out_w, out_h, destination, destination_line)
                      : copy_walked<1>(walk, out_w, out_h, destination, destination_line);
      break;
    case 2:
      crosses_rows    ? copy_transposed<2>(walk, out_w, out_h, destination, destination_line)
      : reverses_rows ? copy_reversed_rows<2>(walk, out_w, out_h, destination, destination_line)
                      : copy_walked<2>(walk, out_w, out_h, destination, destination_line);
      break;
    case 3:  // packed RGB24
      copy_walked<3>(walk, out_w, out_h, destination, destination_line);
      break;
    case 4:
      copy_walked<4>(walk, out_w, out_h, destination, destination_line);
      break;
    case 6:  // packed RGB48
      copy_walked<6>(walk, out_w, out_h, destination, destination_line);
      break;
    case 8:
      copy_walked<8>(walk, out_w, out_h, destination, destination_line);
      break;
    default:
      fatal("picture turned with an element size it has no copy for");
  }
}

Result<const AVFrame*> FfmpegPictureTurner::turn(const AVFrame& frame, Orientation orientation) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  const int width = orientation.swaps_axes() ? frame.height : frame.width;
  const int height = orientation.swaps_axes() ? frame.width : frame.height;
  if (!turned_ || turned_->format != frame.format || turned_->width != width ||
      turned_->height != height) {
    FrameHandle fresh(av_frame_alloc());
    if (!fresh) {
      return fail("failed to allocate FFmpeg frame for the turned picture");
    }
    fresh->format = frame.format;
    fresh->width = width;
    fresh->height = height;
    if (const int rc = av_frame_get_buffer(fresh.get(), 0); rc < 0) {
      return fail(str_cat("failed to allocate the turned picture: ", ffmpeg_error_text(rc)));
    }
    turned_ = std::move(fresh);
  }
  // Only what conversion reads: copying all properties would pile side data
  // up on the kept frame, picture after picture.
  turned_->color_range = frame.color_range;
  turned_->colorspace = frame.colorspace;
  turned_->color_primaries = frame.color_primaries;
  turned_->color_trc = frame.color_trc;
  turned_->chroma_location = frame.chroma_location;
  turned_->pts = frame.pts;
  const AVPixFmtDescriptor& desc = *av_pix_fmt_desc_get(format);
  const int planes = av_pix_fmt_count_planes(format);
  for (int p = 0; p < planes; ++p) {
    const int shift = p == 0 || p == 3 ? 0 : desc.log2_chroma_w;
    const std::size_t plane_width = AV_CEIL_RSHIFT(frame.width, shift);
    const std::size_t plane_height = AV_CEIL_RSHIFT(frame.height, shift);
    turn_plane(frame.data[p], frame.linesize[p], plane_width, plane_height,
               plane_element_size(desc, p), orientation, turned_->data[p],
               turned_->linesize[p]);
  }
  return turned_.get();
}

}  // namespace vantle
