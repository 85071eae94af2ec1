/* A minimal host: calls each request export the way a host engine would, reads
 * the last error and releases the responses. */
#include <stdio.h>
#include <string.h>

#include "vantle_video_runtime.h"

static void print_last_error(const char *what) {
  RuntimeBytes message = vantle_video_runtime_last_error();
  printf("%s: %.*s\n", what, (int)message.len, (const char *)message.data);
}

int main(void) {
  RuntimeDecodeRequest request;
  memset(&request, 0, sizeof request);
  request.codec = RuntimeCodec_H264;
  request.pixel_format = RuntimePixelFormat_Yuv420;

  RuntimeDecodeResponse response = {NULL, 0};
  if (vantle_video_runtime_decode(&request, &response) != 0) {
    print_last_error("decode failed");
    return 1;
  }
  printf("decoded %zu frames from an empty run\n", response.frame_count);
  vantle_video_runtime_free_response(&response);

  if (vantle_video_runtime_decode(&request, NULL) != 0) {
    print_last_error("decode with a null response");
  }
  return 0;
}
