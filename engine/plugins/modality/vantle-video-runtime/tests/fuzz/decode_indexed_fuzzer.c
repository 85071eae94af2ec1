/* vantle_video_runtime_decode_indexed as a host calls it. AV1 and RGB are
 * refused before any decoding, so they are sent only when flag bits 2 and 3
 * ask for them; otherwise the input goes to the decoder as H.265 and
 * YUV 4:2:0. */
#include <string.h>

#include "fuzz_input.h"

int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  fuzz_setup();
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzRequest request;
  if (!fuzz_parse_input(data, size, &request)) {
    return 0;
  }
  RuntimeDecodeRequest* decode = &request.transcode.decode;
  if (decode->codec == RuntimeCodec_Av1 && !(data[1] & 4)) {
    decode->codec = RuntimeCodec_H265;
  }
  if (decode->pixel_format == RuntimePixelFormat_Rgb && !(data[1] & 8)) {
    decode->pixel_format = RuntimePixelFormat_Yuv420;
  }
  RuntimeIndexedResponse response;
  memset(&response, FUZZ_SENTINEL, sizeof response);
  const int32_t status = vantle_video_runtime_decode_indexed(decode, &response);
  fuzz_check_failure(status, &response, sizeof response);
  if (status == 0) {
    fuzz_consume_indexed(&response, decode->packet_count);
  }
  return 0;
}
