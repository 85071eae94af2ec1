// Reads the calling thread's last error through the C interface.
#pragma once

#include <string>

namespace vantle::testing {

// A copy of vantle_video_runtime_last_error()'s text.
std::string last_error();

}  // namespace vantle::testing
