#include "decoding/libdav1d_reuse.h"

#include <dlfcn.h>

#include <cstdio>

namespace vantle {

namespace {

bool loaded_libdav1d_is_recent() noexcept {
  // RTLD_NOLOAD: only a libdav1d already in the process (FFmpeg's), found
  // whatever scope the host loaded it in.
  void* library = dlopen("libdav1d.so.7", RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) {
    return false;
  }
  using VersionFunction = const char* (*)();
  bool recent = false;
  if (auto version = reinterpret_cast<VersionFunction>(dlsym(library, "dav1d_version"))) {
    int major = 0;
    int minor = 0;
    if (const char* text = version();
        text != nullptr && std::sscanf(text, "%d.%d", &major, &minor) == 2) {
      recent = major > 1 || (major == 1 && minor >= 5);
    }
  }
  dlclose(library);
  return recent;
}

}  // namespace

bool libdav1d_survives_threaded_reuse() noexcept {
  static const bool survives = loaded_libdav1d_is_recent();
  return survives;
}

}  // namespace vantle
