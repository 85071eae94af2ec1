// Bit-level reading of parameter sets and frame headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/byte_view.h"

namespace vantle {

// Reads bits most significant first, up to `size_in_bits`; any read past
// them fails the parse (ok() turns false and reads give 0).
class BitReader {
 public:
  BitReader(ByteView bytes, std::size_t size_in_bits)
      : bytes_(bytes), size_in_bits_(size_in_bits) {}
  explicit BitReader(ByteView bytes) : BitReader(bytes, bytes.size() * 8) {}

  bool ok() const { return ok_; }
  std::size_t left() const { return size_in_bits_ - position_; }

  std::uint32_t bits(int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) {
      value = (value << 1) | bit();
    }
    return value;
  }

  std::uint32_t bit() {
    if (position_ >= size_in_bits_) {
      ok_ = false;
      return 0;
    }
    const std::uint32_t value = (bytes_[position_ / 8] >> (7 - position_ % 8)) & 1U;
    ++position_;
    return value;
  }

  bool peek_bit() const {
    return position_ < size_in_bits_ && ((bytes_[position_ / 8] >> (7 - position_ % 8)) & 1U);
  }

  void skip(std::size_t count) {
    if (count > left()) {
      ok_ = false;
      position_ = size_in_bits_;
      return;
    }
    position_ += count;
  }

  // Exp-Golomb codes of up to 32 bits of value; longer ones fail.
  std::uint32_t ue() {
    int zeros = 0;
    while (bit() == 0) {
      if (!ok_ || ++zeros > 31) {
        ok_ = false;
        return 0;
      }
    }
    return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1 + bits(zeros));
  }

  // FFmpeg reads most SPS fields with a reader that is only exact up to 31.
  std::uint32_t ue31() {
    const std::uint32_t value = ue();
    if (value > 31) {
      ok_ = false;
    }
    return value;
  }

  std::int64_t se() {
    const std::uint32_t code = ue();
    return (code & 1U) ? static_cast<std::int64_t>(code / 2) + 1
                       : -static_cast<std::int64_t>(code / 2);
  }

 private:
  ByteView bytes_;
  std::size_t size_in_bits_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

// A NAL unit's payload without its `header_bytes` header bytes and its
// emulation prevention bytes, and the number of bits before the stop bit.
struct Rbsp {
  std::vector<std::uint8_t> bytes;
  std::size_t bits = 0;

  BitReader reader() const { return BitReader(bytes, bits); }
};

inline std::optional<Rbsp> nal_rbsp(ByteView nal_unit, std::size_t header_bytes) {
  Rbsp rbsp;
  rbsp.bytes.reserve(nal_unit.size());
  int zeros = 0;
  for (std::size_t i = header_bytes; i < nal_unit.size(); ++i) {
    const std::uint8_t byte = nal_unit[i];
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    rbsp.bytes.push_back(byte);
  }
  while (!rbsp.bytes.empty() && rbsp.bytes.back() == 0) {
    rbsp.bytes.pop_back();
  }
  if (rbsp.bytes.empty()) {
    return std::nullopt;
  }
  const int trailing = __builtin_ctz(rbsp.bytes.back()) + 1;
  rbsp.bits = rbsp.bytes.size() * 8 - static_cast<std::size_t>(trailing);
  return rbsp;
}

}  // namespace vantle
