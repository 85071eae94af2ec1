// The fuzz targets are C; the guard switch is a C++ function of the library.
#include <cstdio>
#include <cstdlib>
#include <cstring>

// VANTLE_HAS_HOST_GUARD comes from CMake, decided at every configure, so a
// build folder made before the guard existed still picks it up.
#ifdef VANTLE_HAS_HOST_GUARD
#include "common/host_guard.h"
#endif

extern "C" void fuzz_select_host_guard(void) {
  const char* mode = std::getenv("VANTLE_FUZZ_HOST_GUARD");
  if (mode == nullptr || *mode == '\0' || std::strcmp(mode, "none") == 0) {
    return;
  }
#ifdef VANTLE_HAS_HOST_GUARD
  if (std::strcmp(mode, "after") == 0) {
    vantle::set_host_guard_for_testing(vantle::HostGuard::After);
    return;
  }
  if (std::strcmp(mode, "before") == 0) {
    vantle::set_host_guard_for_testing(vantle::HostGuard::Before);
    return;
  }
  std::fprintf(stderr, "VANTLE_FUZZ_HOST_GUARD: unknown mode '%s' (none, after, before)\n", mode);
#else
  std::fprintf(stderr, "VANTLE_FUZZ_HOST_GUARD=%s: this library has no host-buffer guard\n", mode);
#endif
  std::exit(1);
}
