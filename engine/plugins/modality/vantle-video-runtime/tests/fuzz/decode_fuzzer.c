/* vantle_video_runtime_decode as a host calls it, to RGB or YUV 4:2:0 (8 or
 * 16 bits), with or without a turn. */
#include "fuzz_calls.h"

void fuzz_request(FuzzRequest* request, uint8_t flags) {
  (void)flags;
  fuzz_decode(&request->transcode.decode, request->with_options ? &request->options : NULL);
}
