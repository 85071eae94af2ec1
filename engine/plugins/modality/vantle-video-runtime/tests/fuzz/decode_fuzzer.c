/* vantle_video_runtime_decode as a host calls it, to RGB or YUV 4:2:0 (8 or
 * 16 bits), with or without a turn. */
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
  RuntimeDecodeResponse response;
  memset(&response, FUZZ_SENTINEL, sizeof response);
  const int32_t status =
      request.with_options
          ? vantle_video_runtime_decode_with_options(&request.transcode.decode, &request.options,
                                                     &response)
          : vantle_video_runtime_decode(&request.transcode.decode, &response);
  fuzz_check_failure(status, &response, sizeof response);
  if (status == 0) {
    fuzz_consume_decode(&response, request.transcode.decode.pixel_format);
  }
  return 0;
}
