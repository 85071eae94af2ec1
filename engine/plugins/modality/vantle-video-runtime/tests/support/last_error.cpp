#include "support/last_error.h"

#include "vantle_video_runtime.h"

namespace vantle::testing {

std::string last_error() {
  const RuntimeBytes message = vantle_video_runtime_last_error();
  return std::string(reinterpret_cast<const char*>(message.data), message.len);
}

}  // namespace vantle::testing
