#include "common/request_views.h"

namespace vantle {

Result<ByteView> bytes_slice(const std::uint8_t* data, std::size_t len) {
  if (data == nullptr) {
    if (len != 0) {
      return fail("FFmpeg runtime request has null bytes with non-zero length");
    }
    return ByteView{};
  }
  return ByteView{data, len};
}

Result<ByteView> packet_slice(const RuntimePacket& packet) {
  return bytes_slice(packet.data, packet.len);
}

Result<std::vector<ByteView>> packet_slices(const RuntimeDecodeRequest& request) {
  if (request.packets == nullptr) {
    if (request.packet_count != 0) {
      return fail("FFmpeg runtime request has null packets with non-zero length");
    }
    return std::vector<ByteView>{};
  }
  std::vector<ByteView> views;
  views.reserve(request.packet_count);
  for (std::size_t i = 0; i < request.packet_count; ++i) {
    auto view = packet_slice(request.packets[i]);
    if (!view) {
      return fail(std::move(view.error()));
    }
    views.push_back(*view);
  }
  return views;
}

Result<std::vector<std::uint64_t>> copy_selected_positions(const RuntimeDecodeRequest& request) {
  if (request.selected_positions == nullptr) {
    if (request.selected_position_count != 0) {
      return fail("FFmpeg runtime request has null selected positions with non-zero length");
    }
    return std::vector<std::uint64_t>{};
  }
  return std::vector<std::uint64_t>(request.selected_positions,
                                    request.selected_positions + request.selected_position_count);
}

}  // namespace vantle
