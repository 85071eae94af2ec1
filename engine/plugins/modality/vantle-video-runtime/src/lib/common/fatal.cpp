#include "common/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace vantle {

void fatal(const char* reason) noexcept {
  std::fprintf(stderr, "vantle video runtime: fatal: %s\n", reason);
  std::abort();
}

}  // namespace vantle
