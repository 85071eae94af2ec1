/* What every export call must leave behind, checked as a host would see it.
 * A violation aborts, which the fuzzer reports as a crash. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_input.h"

static void violation(const char* what) {
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

/* Reads every byte, so a buffer shorter than its length faults under
 * AddressSanitizer or the guard pages. */
static volatile uint8_t sink;
static void read_all(RuntimeBytes bytes) {
  uint8_t sum = 0;
  for (size_t i = 0; i < bytes.len; ++i) {
    sum += bytes.data[i];
  }
  sink = sum;
}

void fuzz_check_failure(int32_t status, const void* response, size_t response_size) {
  const RuntimeBytes message = vantle_video_runtime_last_error();
  if (message.data == NULL) {
    violation("last error view is null");
  }
  if (status == 0) {
    if (message.len != 0) {
      violation("last error not empty after success");
    }
    return;
  }
  if (status != -1) {
    violation("status other than 0 and -1");
  }
  if (message.len == 0) {
    violation("failure without a message");
  }
  if (memchr(message.data, 0, message.len) != NULL) {
    violation("message holds a NUL byte");
  }
  const uint8_t* bytes = response;
  for (size_t i = 0; i < response_size; ++i) {
    if (bytes[i] != FUZZ_SENTINEL) {
      violation("failed call wrote into the response");
    }
  }
}

static void check_frame(const RuntimeFrame* frame, RuntimePixelFormat format) {
  if (frame->format != format || frame->width == 0 || frame->height == 0) {
    violation("frame format or size");
  }
  const size_t w = frame->width, h = frame->height;
  const int deep = format == RuntimePixelFormat_Rgb48 || format == RuntimePixelFormat_Yuv420P16;
  const size_t sample = deep ? 2 : 1;
  if (format == RuntimePixelFormat_Rgb || format == RuntimePixelFormat_Rgb48) {
    if (frame->rgb.data == NULL || frame->rgb.len != w * h * 3 * sample || frame->y.data || frame->u.data ||
        frame->v.data) {
      violation("RGB frame buffers");
    }
    read_all(frame->rgb);
    return;
  }
  const size_t chroma = ((w + 1) / 2) * ((h + 1) / 2) * sample;
  if (frame->rgb.data || frame->y.data == NULL || frame->u.data == NULL || frame->v.data == NULL ||
      frame->y.len != w * h * sample || frame->u.len != chroma || frame->v.len != chroma) {
    violation("YUV420 frame buffers");
  }
  read_all(frame->y);
  read_all(frame->u);
  read_all(frame->v);
}

void fuzz_consume_decode(RuntimeDecodeResponse* response, RuntimePixelFormat format) {
  if (response->frames == NULL) {
    violation("decode response without an array");
  }
  for (size_t i = 0; i < response->frame_count; ++i) {
    check_frame(&response->frames[i], format);
  }
  vantle_video_runtime_free_response(response);
  if (response->frames != NULL || response->frame_count != 0) {
    violation("released decode response not reset");
  }
}

void fuzz_consume_indexed(RuntimeIndexedResponse* response, size_t packet_count) {
  if (response->frames == NULL) {
    violation("indexed response without an array");
  }
  for (size_t i = 0; i < response->frame_count; ++i) {
    if (response->frames[i].packet_index >= packet_count) {
      violation("packet index out of range");
    }
    check_frame(&response->frames[i].frame, response->frames[i].frame.format ==
                                                    RuntimePixelFormat_Yuv420P16
                                                ? RuntimePixelFormat_Yuv420P16
                                                : RuntimePixelFormat_Yuv420);
  }
  vantle_video_runtime_free_indexed_response(response);
  if (response->frames != NULL || response->frame_count != 0) {
    violation("released indexed response not reset");
  }
}

void fuzz_consume_transcode(RuntimeTranscodeResponse* response, size_t selected_count) {
  if (response->access_units == NULL || response->access_unit_count != selected_count) {
    violation("access unit count differs from the selection");
  }
  for (size_t i = 0; i < response->access_unit_count; ++i) {
    const RuntimeBytes unit = response->access_units[i];
    if (unit.data == NULL || unit.len < 3 || unit.data[0] != 0 || unit.data[1] != 0 ||
        (unit.data[2] != 1 && (unit.len < 4 || unit.data[2] != 0 || unit.data[3] != 1))) {
      violation("access unit without an Annex B start code");
    }
    read_all(unit);
  }
  vantle_video_runtime_free_transcode_response(response);
  if (response->access_units != NULL || response->access_unit_count != 0) {
    violation("released transcode response not reset");
  }
}
