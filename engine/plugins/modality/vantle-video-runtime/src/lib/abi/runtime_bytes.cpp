// Library-internal constructors of the host-visible byte record.
#include "common/byte_buffer.h"
#include "vantle_video_runtime.h"

RuntimeBytes RuntimeBytes::empty() noexcept {
  return RuntimeBytes{nullptr, 0};
}

RuntimeBytes RuntimeBytes::from_vec(vantle::ByteBuffer&& bytes) noexcept {
  vantle::ByteBuffer owned = std::move(bytes);
  owned.shrink_to_fit();
  const std::size_t len = owned.size();
  if (len == 0) {
    return RuntimeBytes{static_cast<uint8_t*>(vantle::empty_storage_address()), 0};
  }
  return RuntimeBytes{owned.release(), len};
}
