/* A host built out of tree against the installed package: it sees only the
 * installed header and library. It runs one failing and one empty decode and
 * releases what it got, as any host does. */
#include <stdio.h>
#include <string.h>

#include <vantle_video_runtime.h>

int main(void) {
  RuntimeDecodeRequest request = {0};
  request.codec = RuntimeCodec_H264;
  request.pixel_format = RuntimePixelFormat_Yuv420;

  if (vantle_video_runtime_decode(&request, NULL) != -1) {
    fprintf(stderr, "host: a null response was accepted\n");
    return 1;
  }
  RuntimeBytes message = vantle_video_runtime_last_error();
  printf("host: expected failure: %.*s\n", (int)message.len, (const char*)message.data);
  if (message.len == 0) {
    return 1;
  }

  RuntimeDecodeResponse response = {NULL, 0};
  if (vantle_video_runtime_decode(&request, &response) != 0) {
    message = vantle_video_runtime_last_error();
    fprintf(stderr, "host: empty run failed: %.*s\n", (int)message.len, (const char*)message.data);
    return 1;
  }
  printf("host: empty run gave %zu pictures\n", response.frame_count);
  vantle_video_runtime_free_response(&response);
  return response.frames == NULL && response.frame_count == 0 ? 0 : 1;
}
