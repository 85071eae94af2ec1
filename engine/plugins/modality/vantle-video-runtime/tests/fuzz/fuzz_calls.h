/* One request through its export, as a host sends it: the response starts
 * filled with FUZZ_SENTINEL, what the call left is checked, and a success's
 * response is consumed (fuzz_input.h). fuzz_decode takes the options export
 * when `options` is not null. Defined here, not in the support library, so
 * that they are compiled into each target with libFuzzer's coverage: whether
 * a call succeeded stays a feature the fuzzer sees. */
#ifndef VANTLE_FUZZ_CALLS_H
#define VANTLE_FUZZ_CALLS_H

#include <stddef.h>
#include <string.h>

#include "fuzz_input.h"

static inline void fuzz_decode(const RuntimeDecodeRequest* request,
                               const RuntimeDecodeOptions* options) {
  RuntimeDecodeResponse response;
  memset(&response, FUZZ_SENTINEL, sizeof response);
  const int32_t status = options != NULL
                             ? vantle_video_runtime_decode_with_options(request, options, &response)
                             : vantle_video_runtime_decode(request, &response);
  fuzz_check_failure(status, &response, sizeof response);
  if (status == 0) {
    fuzz_consume_decode(&response, request->pixel_format);
  }
}

static inline void fuzz_decode_indexed(const RuntimeDecodeRequest* request) {
  RuntimeIndexedResponse response;
  memset(&response, FUZZ_SENTINEL, sizeof response);
  const int32_t status = vantle_video_runtime_decode_indexed(request, &response);
  fuzz_check_failure(status, &response, sizeof response);
  if (status == 0) {
    fuzz_consume_indexed(&response, request->packet_count);
  }
}

static inline void fuzz_transcode(const RuntimeTranscodeRequest* request) {
  RuntimeTranscodeResponse response;
  memset(&response, FUZZ_SENTINEL, sizeof response);
  const int32_t status = vantle_video_runtime_transcode_h264(request, &response);
  fuzz_check_failure(status, &response, sizeof response);
  if (status == 0) {
    fuzz_consume_transcode(&response, request->decode.selected_position_count);
  }
}

#endif
