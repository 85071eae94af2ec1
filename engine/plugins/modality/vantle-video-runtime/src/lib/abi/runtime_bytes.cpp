// Library-internal constructors of the host-visible byte record.
#include "common/byte_buffer.h"
#include "vantle_video_runtime.h"

RuntimeBytes RuntimeBytes::empty() noexcept {
  return RuntimeBytes{nullptr, 0};
}

RuntimeBytes RuntimeBytes::from_vec(vantle::ByteBuffer&& bytes) noexcept {
  // The storage keeps the slack behind the bytes instead of being trimmed:
  // a shrinking realloc may move (copy) the pixels, and the slack costs
  // nothing.
  vantle::ByteBuffer owned = std::move(bytes);
  const std::size_t len = owned.size();
  if (len == 0) {
    return RuntimeBytes{static_cast<uint8_t*>(vantle::empty_storage_address()), 0};
  }
  return RuntimeBytes{owned.release(), len};
}
