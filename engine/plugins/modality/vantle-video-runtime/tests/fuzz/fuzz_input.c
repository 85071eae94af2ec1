#include "fuzz_input.h"

#include <libavutil/log.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

static void drop_log_line(void* context, int level, const char* format, va_list args) {
  (void)context;
  (void)level;
  (void)format;
  (void)args;
}

void fuzz_setup(void) {
  fuzz_select_host_guard();
  /* The library sets the log level, never the callback. */
  if (getenv("VANTLE_FUZZ_FFMPEG_LOG") == NULL) {
    av_log_set_callback(drop_log_line);
  }
}

static uint32_t read_le(const uint8_t* bytes, int count) {
  uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    value = value << 8 | bytes[i];
  }
  return value;
}

/* First FUZZ_TAG at or after `from`, or `size` when there is none. */
static size_t find_tag(const uint8_t* data, size_t size, size_t from) {
  for (size_t i = from; i + FUZZ_TAG_LEN <= size; ++i) {
    if (memcmp(data + i, FUZZ_TAG, FUZZ_TAG_LEN) == 0) {
      return i;
    }
  }
  return size;
}

int fuzz_parse_input(const uint8_t* data, size_t size, FuzzRequest* request) {
  /* Where a chunk has no bytes the host may still pass a non-null pointer. */
  static const uint8_t no_bytes[1];
  if (size < FUZZ_HEADER_LEN) {
    return 0;
  }
  memset(request, 0, sizeof *request);
  RuntimeDecodeRequest* decode = &request->transcode.decode;
  const uint8_t flags = data[1];
  const int non_null_empty = (flags & 2) != 0;
  /* New codecs and formats by new flag bits, so that the committed inputs
   * keep the meaning they were found with. */
  decode->codec = (flags & 32) ? RuntimeCodec_Vp8 : (flags & 16) ? RuntimeCodec_Vp9 : data[0] % 3;
  if (flags & 64) {
    decode->pixel_format =
        (flags & 1) ? RuntimePixelFormat_Rgb48 : RuntimePixelFormat_Yuv420P16;
  } else {
    decode->pixel_format = (flags & 1) ? RuntimePixelFormat_Rgb : RuntimePixelFormat_Yuv420;
  }
  request->with_options = (flags & 128) != 0;
  request->options.size = sizeof request->options;
  request->options.rotation = 90u * ((data[0] >> 2) & 3u);
  request->options.flip = (data[0] >> 4) & 3u;
  decode->output_width = read_le(data + 2, 2) % 257;
  decode->output_height = read_le(data + 4, 2) % 257;
  const uint32_t mask = read_le(data + 6, 2);
  size_t position_count = 0;
  for (size_t i = 0; i < FUZZ_MAX_POSITIONS; ++i) {
    if (mask & (1u << i)) {
      request->positions[position_count++] = i;
    }
  }
  decode->selected_positions = position_count ? request->positions : NULL;
  decode->selected_position_count = position_count;
  /* Small bounds make the refusal paths reachable from small inputs. */
  vantle_video_runtime_set_picture_area_limit((flags & 4) ? 4096 : UINT64_C(35389440));
  vantle_video_runtime_set_response_limit((flags & 4) ? 65536 : UINT64_C(4294967296));
  request->transcode.frame_rate_num = read_le(data + 8, 4);
  request->transcode.frame_rate_den = read_le(data + 12, 4);

  const uint8_t* body = data + FUZZ_HEADER_LEN;
  const size_t body_size = size - FUZZ_HEADER_LEN;
  size_t end = find_tag(body, body_size, 0);
  decode->extradata = end ? body : (non_null_empty ? no_bytes : NULL);
  decode->extradata_len = end;
  size_t count = 0;
  while (end < body_size && count < FUZZ_MAX_PACKETS) {
    const size_t start = end + FUZZ_TAG_LEN;
    end = find_tag(body, body_size, start);
    const size_t len = end - start;
    request->packets[count].data = len ? body + start : (non_null_empty ? no_bytes : NULL);
    request->packets[count].len = len;
    ++count;
  }
  decode->packets = count ? request->packets : NULL;
  decode->packet_count = count;
  return 1;
}
