/* vantle_video_runtime_transcode_h264 as a host calls it. */
#include "fuzz_calls.h"

void fuzz_request(FuzzRequest* request, uint8_t flags) {
  (void)flags;
  fuzz_transcode(&request->transcode);
}
