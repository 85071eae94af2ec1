/* libFuzzer's entry points, shared by the targets of the request exports:
 * the common set-up once, then every input long enough to hold a header
 * parsed and handed to the target's fuzz_request(). */
#include "fuzz_input.h"

int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  fuzz_setup();
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzRequest request;
  if (fuzz_parse_input(data, size, &request)) {
    fuzz_request(&request, data[1]);
  }
  return 0;
}
