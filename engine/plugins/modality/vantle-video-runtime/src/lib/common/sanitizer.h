// AddressSanitizer's manual poisoning, for memory the library keeps for
// reuse: a host that reads or writes a buffer after releasing it is caught
// in the sanitizer builds. Nothing in other builds.
#pragma once

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANTLE_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VANTLE_ADDRESS_SANITIZER 1
#endif

#ifdef VANTLE_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace vantle {

inline void poison_memory([[maybe_unused]] const void* data,
                          [[maybe_unused]] std::size_t size) noexcept {
#ifdef VANTLE_ADDRESS_SANITIZER
  ASAN_POISON_MEMORY_REGION(data, size);
#endif
}

inline void unpoison_memory([[maybe_unused]] const void* data,
                            [[maybe_unused]] std::size_t size) noexcept {
#ifdef VANTLE_ADDRESS_SANITIZER
  ASAN_UNPOISON_MEMORY_REGION(data, size);
#endif
}

}  // namespace vantle
