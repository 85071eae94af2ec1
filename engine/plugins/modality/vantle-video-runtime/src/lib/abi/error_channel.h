// The per-thread last-error slot read by vantle_video_runtime_last_error.
#pragma once

#include <string>

#include "vantle_video_runtime.h"

namespace vantle {

void clear_last_error() noexcept;
void store_last_error(std::string message) noexcept;
// Start and length of the slot's text; never null, even when empty.
RuntimeBytes view_last_error() noexcept;

}  // namespace vantle
