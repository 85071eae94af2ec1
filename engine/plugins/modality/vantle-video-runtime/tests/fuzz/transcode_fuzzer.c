/* vantle_video_runtime_transcode_h264 as a host calls it. */
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
  RuntimeTranscodeResponse response;
  memset(&response, FUZZ_SENTINEL, sizeof response);
  const int32_t status = vantle_video_runtime_transcode_h264(&request.transcode, &response);
  fuzz_check_failure(status, &response, sizeof response);
  if (status == 0) {
    fuzz_consume_transcode(&response, request.transcode.decode.selected_position_count);
  }
  return 0;
}
