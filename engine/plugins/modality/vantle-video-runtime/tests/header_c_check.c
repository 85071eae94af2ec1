/* Compiles the public header alone as C11 and checks the record layout a host
 * written only from the documented tables would assume. */
#include "vantle_video_runtime.h"

#include <stddef.h>
#include <stdio.h>

#define CHECK_SIZE(type, size) _Static_assert(sizeof(type) == (size), #type " size")
#define CHECK_OFFSET(type, field, offset) \
  _Static_assert(offsetof(type, field) == (offset), #type "." #field " offset")

CHECK_SIZE(RuntimeCodec, 4);
CHECK_SIZE(RuntimePixelFormat, 4);
_Static_assert(RuntimeCodec_H264 == 0 && RuntimeCodec_Av1 == 1 && RuntimeCodec_H265 == 2 &&
                   RuntimeCodec_Vp9 == 3 && RuntimeCodec_Vp8 == 4,
               "codecs");
_Static_assert(RuntimePixelFormat_Rgb == 0 && RuntimePixelFormat_Yuv420 == 1 &&
                   RuntimePixelFormat_Rgb48 == 2 && RuntimePixelFormat_Yuv420P16 == 3,
               "pixel formats");
_Static_assert(RuntimeFlip_Horizontal == 1 && RuntimeFlip_Vertical == 2, "flips");

CHECK_SIZE(RuntimeDecodeOptions, 16);
CHECK_OFFSET(RuntimeDecodeOptions, size, 0);
CHECK_OFFSET(RuntimeDecodeOptions, rotation, 4);
CHECK_OFFSET(RuntimeDecodeOptions, flip, 8);
CHECK_OFFSET(RuntimeDecodeOptions, reserved, 12);

CHECK_SIZE(RuntimeBytes, 16);
CHECK_OFFSET(RuntimeBytes, data, 0);
CHECK_OFFSET(RuntimeBytes, len, 8);

CHECK_SIZE(RuntimePacket, 16);
CHECK_OFFSET(RuntimePacket, data, 0);
CHECK_OFFSET(RuntimePacket, len, 8);

CHECK_SIZE(RuntimeFrame, 96);
CHECK_OFFSET(RuntimeFrame, format, 0);
CHECK_OFFSET(RuntimeFrame, width, 4);
CHECK_OFFSET(RuntimeFrame, height, 8);
CHECK_OFFSET(RuntimeFrame, rgb, 16);
CHECK_OFFSET(RuntimeFrame, y, 32);
CHECK_OFFSET(RuntimeFrame, u, 48);
CHECK_OFFSET(RuntimeFrame, v, 64);
CHECK_OFFSET(RuntimeFrame, color_range, 80);
CHECK_OFFSET(RuntimeFrame, color_space, 84);
CHECK_OFFSET(RuntimeFrame, color_primaries, 88);
CHECK_OFFSET(RuntimeFrame, color_trc, 92);

CHECK_SIZE(RuntimeIndexedFrame, 104);
CHECK_OFFSET(RuntimeIndexedFrame, frame, 0);
CHECK_OFFSET(RuntimeIndexedFrame, packet_index, 96);

CHECK_SIZE(RuntimeDecodeRequest, 80);
CHECK_OFFSET(RuntimeDecodeRequest, codec, 0);
CHECK_OFFSET(RuntimeDecodeRequest, extradata, 8);
CHECK_OFFSET(RuntimeDecodeRequest, extradata_len, 16);
CHECK_OFFSET(RuntimeDecodeRequest, reserved, 24);
CHECK_OFFSET(RuntimeDecodeRequest, output_width, 32);
CHECK_OFFSET(RuntimeDecodeRequest, output_height, 36);
CHECK_OFFSET(RuntimeDecodeRequest, pixel_format, 40);
CHECK_OFFSET(RuntimeDecodeRequest, packets, 48);
CHECK_OFFSET(RuntimeDecodeRequest, packet_count, 56);
CHECK_OFFSET(RuntimeDecodeRequest, selected_positions, 64);
CHECK_OFFSET(RuntimeDecodeRequest, selected_position_count, 72);

CHECK_SIZE(RuntimeTranscodeRequest, 96);
CHECK_OFFSET(RuntimeTranscodeRequest, decode, 0);
CHECK_OFFSET(RuntimeTranscodeRequest, frame_rate_num, 80);
CHECK_OFFSET(RuntimeTranscodeRequest, frame_rate_den, 84);
CHECK_OFFSET(RuntimeTranscodeRequest, bit_rate, 88);

CHECK_SIZE(RuntimeDecodeResponse, 16);
CHECK_OFFSET(RuntimeDecodeResponse, frames, 0);
CHECK_OFFSET(RuntimeDecodeResponse, frame_count, 8);
CHECK_SIZE(RuntimeIndexedResponse, 16);
CHECK_OFFSET(RuntimeIndexedResponse, frames, 0);
CHECK_OFFSET(RuntimeIndexedResponse, frame_count, 8);
CHECK_SIZE(RuntimeTranscodeResponse, 16);
CHECK_OFFSET(RuntimeTranscodeResponse, access_units, 0);
CHECK_OFFSET(RuntimeTranscodeResponse, access_unit_count, 8);

_Static_assert(_Alignof(RuntimeFrame) == 8 && _Alignof(RuntimeDecodeRequest) == 8, "alignment");

/* The same calls a host makes, through the shared library. */
int main(void) {
  RuntimeBytes message = vantle_video_runtime_last_error();
  if (message.data == NULL || message.len != 0) {
    fprintf(stderr, "fresh thread: expected an empty non-null message\n");
    return 1;
  }
  RuntimeDecodeRequest request = {0};
  if (vantle_video_runtime_decode(&request, NULL) != -1) {
    fprintf(stderr, "null response accepted\n");
    return 1;
  }
  message = vantle_video_runtime_last_error();
  static const char expected[] = "FFmpeg runtime received null ABI pointer";
  if (message.len != sizeof expected - 1 ||
      __builtin_memcmp(message.data, expected, message.len) != 0) {
    fprintf(stderr, "unexpected message\n");
    return 1;
  }
  RuntimeDecodeResponse response = {NULL, 7};
  vantle_video_runtime_free_response(&response);
  vantle_video_runtime_free_response(NULL);
  vantle_video_runtime_free_indexed_response(NULL);
  vantle_video_runtime_free_transcode_response(NULL);
  RuntimeBytes dead = {NULL, 5};
  vantle_video_runtime_free_bytes(dead);
  if (response.frames != NULL || response.frame_count != 0) {
    fprintf(stderr, "release did not reset the response\n");
    return 1;
  }
  /* The defaults, set again: both setters link and never fail. */
  vantle_video_runtime_set_picture_area_limit(UINT64_C(35389440));
  vantle_video_runtime_set_response_limit(UINT64_C(4294967296));
  static const char version_prefix[] = "vantle-video-runtime ";
  if (__builtin_strncmp(vantle_video_runtime_version(), version_prefix,
                        sizeof version_prefix - 1) != 0) {
    fprintf(stderr, "unexpected version text\n");
    return 1;
  }
  puts("header_c_check: layout and C calls agree");
  return 0;
}
