/* vantle_video_runtime_decode_indexed as a host calls it. AV1 and RGB are
 * refused before any decoding, so they are sent only when flag bits 2 and 3
 * ask for them; otherwise the input goes to the decoder as H.265 and
 * YUV 4:2:0. */
#include "fuzz_calls.h"

void fuzz_request(FuzzRequest* request, uint8_t flags) {
  RuntimeDecodeRequest* decode = &request->transcode.decode;
  if (decode->codec == RuntimeCodec_Av1 && !(flags & 4)) {
    decode->codec = RuntimeCodec_H265;
  }
  if (decode->pixel_format == RuntimePixelFormat_Rgb && !(flags & 8)) {
    decode->pixel_format = RuntimePixelFormat_Yuv420;
  }
  fuzz_decode_indexed(decode);
}
