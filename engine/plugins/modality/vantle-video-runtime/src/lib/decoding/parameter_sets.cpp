#include "decoding/parameter_sets.h"

#include <cstddef>

namespace vantle {

namespace {

bool is_parameter_set(RuntimeCodec codec, std::uint8_t header) {
  if (codec == RuntimeCodec::H264) {
    const int type = header & 0x1f;
    return type == 7 || type == 8 || type == 13 || type == 15;
  }
  const int type = (header >> 1) & 0x3f;
  return type >= 32 && type <= 34;
}

// Start codes cannot occur inside a NAL unit (emulation prevention), so a
// 00 00 01 in a length-prefixed packet is part of a length field: a false
// alarm at worst.
bool annex_b_has_parameter_set(RuntimeCodec codec, std::span<const std::uint8_t> packet) {
  for (std::size_t i = 0; i + 3 < packet.size(); ++i) {
    if (packet[i] == 0 && packet[i + 1] == 0 && packet[i + 2] == 1 &&
        is_parameter_set(codec, packet[i + 3])) {
      return true;
    }
  }
  return false;
}

bool length_prefixed_has_parameter_set(RuntimeCodec codec, std::span<const std::uint8_t> packet,
                                       std::size_t length_size) {
  std::size_t at = 0;
  while (at < packet.size()) {
    if (packet.size() - at < length_size) {
      return true;
    }
    std::size_t length = 0;
    for (std::size_t i = 0; i < length_size; ++i) {
      length = (length << 8) | packet[at + i];
    }
    at += length_size;
    if (length > packet.size() - at) {
      return true;
    }
    if (length > 0 && is_parameter_set(codec, packet[at])) {
      return true;
    }
    at += length;
  }
  return false;
}

// The NAL length field size of an avcC / hvcC record, 0 for Annex B
// extradata (or none), which the decoders read the same way.
std::size_t nal_length_size(RuntimeCodec codec, std::span<const std::uint8_t> extradata) {
  if (extradata.empty() || extradata[0] != 1) {
    return 0;
  }
  const std::size_t field = codec == RuntimeCodec::H264 ? 4 : 21;
  if (extradata.size() <= field) {
    return 0;
  }
  return static_cast<std::size_t>(extradata[field] & 3) + 1;
}

}  // namespace

bool packet_carries_parameter_sets(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                                   std::span<const std::uint8_t> packet) {
  if (codec == RuntimeCodec::Av1) {
    return false;
  }
  const std::size_t length_size = nal_length_size(codec, extradata);
  return annex_b_has_parameter_set(codec, packet) ||
         (length_size != 0 && length_prefixed_has_parameter_set(codec, packet, length_size));
}

}  // namespace vantle
