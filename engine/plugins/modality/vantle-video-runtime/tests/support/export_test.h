// What the tests of the request exports share: test media, request records
// over it, libavcodec's own decode to compare with, the calling thread's last
// error, and a call's status kept with the response it filled. A test takes
// the names in with `using namespace testing;`.
#pragma once

#include <cstdint>

#include "runtime/owned_response.h"
#include "support/last_error.h"
#include "support/media.h"
#include "support/reference_decode.h"
#include "support/request_builder.h"

namespace vantle::testing {

// One call of a request export: the status it returned and the response it
// filled, released with the call.
template <typename Owned>
struct ExportCall {
  std::int32_t status = -1;
  Owned response;
  auto items() const { return response.items(); }
};

}  // namespace vantle::testing
