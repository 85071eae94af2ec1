// How far sws_scale writes past an RGB24 picture, and how many of its pixel
// bytes stay unwritten, with the scaler settings the library uses
// (SWS_FAST_BILINEAR, BT.709 limited to full range), over source formats,
// widths 1 to 520, several heights and output sizes. Two layouts: rows packed
// tightly (line size = width * 3) and rows padded to a multiple of 8 pixels,
// which is what the library hands swscale. Run on both FFmpeg generations by
// scripts/swscale-overrun.sh; the figures choose the slack of the host heap
// (src/lib/common/host_memory.h).
#include <libavutil/common.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { ROOM = 4096 };

struct Outcome {
  int overrun;        // bytes written past the picture's last byte
  long unwritten;     // pixel bytes no pass wrote
};

static struct Outcome probe(struct SwsContext *context, const AVFrame *source, int ow, int oh,
                            int padded) {
  const size_t row = (size_t)ow * 3;
  const size_t line = padded ? (size_t)FFALIGN(ow, 8) * 3 : row;
  const size_t end = (size_t)(oh - 1) * line + row;
  unsigned char *first = malloc(end + ROOM);
  struct Outcome outcome = {0, 0};
  for (int pass = 0; pass < 2; ++pass) {
    const unsigned char fill = pass ? 0xA5 : 0x5A;
    unsigned char *buffer = pass ? malloc(end + ROOM) : first;
    memset(buffer, fill, end + ROOM);
    uint8_t *planes[4] = {buffer};
    int linesizes[4] = {(int)line};
    sws_scale(context, (const uint8_t *const *)source->data, source->linesize, 0, source->height,
              planes, linesizes);
    for (size_t i = ROOM; i > 0; --i) {
      if (buffer[end + i - 1] != fill) {
        if ((int)i > outcome.overrun) outcome.overrun = (int)i;
        break;
      }
    }
    if (pass) {
      for (int y = 0; y < oh; ++y)
        for (size_t x = 0; x < row; ++x)
          outcome.unwritten += first[y * line + x] == 0x5A && buffer[y * line + x] == 0xA5;
      free(buffer);
    }
  }
  free(first);
  return outcome;
}

int main(void) {
  av_log_set_level(AV_LOG_ERROR);
  const enum AVPixelFormat formats[] = {
      AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P,   AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV422P,
      AV_PIX_FMT_YUV444P, AV_PIX_FMT_NV12,       AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_YUV444P10LE,
      AV_PIX_FMT_GRAY8};
  const int heights[] = {1, 2, 3, 4, 17, 100};
  int worst[2] = {0, 0};
  for (size_t f = 0; f < sizeof formats / sizeof *formats; ++f) {
    int over[2] = {0, 0}, at_w[2] = {0, 0}, at_h[2] = {0, 0};
    long unwritten_cases[2] = {0, 0};
    for (int w = 1; w <= 520; ++w) {
      for (size_t hi = 0; hi < sizeof heights / sizeof *heights; ++hi) {
        const int h = heights[hi];
        AVFrame *source = av_frame_alloc();
        source->format = formats[f];
        source->width = w;
        source->height = h;
        if (av_frame_get_buffer(source, 0) < 0) return 1;
        const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(formats[f]);
        for (int p = 0; p < 4 && source->data[p]; ++p) {
          const int rows = p == 1 || p == 2 ? AV_CEIL_RSHIFT(h, descriptor->log2_chroma_h) : h;
          memset(source->data[p], 100 + 20 * p, (size_t)source->linesize[p] * rows);
        }
        const int outputs[][2] = {{w, h},  {1, 1},          {3, 3},     {17, 9},
                                  {100, h}, {w / 2 + 1, h / 2 + 1}, {2 * w, 2 * h}, {520, 31}};
        for (size_t o = 0; o < sizeof outputs / sizeof *outputs; ++o) {
          const int ow = outputs[o][0], oh = outputs[o][1];
          struct SwsContext *context = sws_getContext(w, h, formats[f], ow, oh, AV_PIX_FMT_RGB24,
                                                      SWS_FAST_BILINEAR, NULL, NULL, NULL);
          if (!context) continue;
          const int *coefficients = sws_getCoefficients(SWS_CS_ITU709);
          sws_setColorspaceDetails(context, coefficients, 0, coefficients, 1, 0, 1 << 16, 1 << 16);
          for (int padded = 0; padded < 2; ++padded) {
            const struct Outcome outcome = probe(context, source, ow, oh, padded);
            unwritten_cases[padded] += outcome.unwritten != 0;
            if (outcome.overrun > over[padded]) {
              over[padded] = outcome.overrun;
              at_w[padded] = w;
              at_h[padded] = h;
            }
          }
          sws_freeContext(context);
        }
        av_frame_free(&source);
      }
    }
    printf("%-13s packed rows: overrun %2d bytes (worst at %dx%d), %4ld cases with unwritten "
           "bytes | rows padded to 8 pixels: overrun %2d bytes, %ld cases with unwritten bytes\n",
           av_get_pix_fmt_name(formats[f]), over[0], at_w[0], at_h[0], unwritten_cases[0],
           over[1], unwritten_cases[1]);
    for (int padded = 0; padded < 2; ++padded)
      if (over[padded] > worst[padded]) worst[padded] = over[padded];
  }
  printf("worst overrun: %d bytes with packed rows, %d bytes with padded rows\n", worst[0],
         worst[1]);
  return 0;
}
