#include "decoding/h264_reorder_depth.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

namespace vantle {

namespace {

// Reads the RBSP bits up to the stop bit; any read past them fails the parse.
class BitReader {
 public:
  BitReader(const std::vector<std::uint8_t>& bytes, std::size_t size_in_bits)
      : bytes_(bytes), size_in_bits_(size_in_bits) {}

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
  const std::vector<std::uint8_t>& bytes_;
  std::size_t size_in_bits_;
  std::size_t position_ = 0;
  bool ok_ = true;
};

constexpr std::array<std::array<int, 2>, 16> LEVEL_MAX_DPB_MBS{{
    {10, 396},
    {11, 900},
    {12, 2376},
    {13, 2376},
    {20, 2376},
    {21, 4752},
    {22, 8100},
    {30, 8100},
    {31, 18000},
    {32, 20480},
    {40, 32768},
    {41, 32768},
    {42, 34816},
    {50, 110400},
    {51, 184320},
    {52, 184320},
}};
constexpr int MAX_REORDER_DEPTH = 15;

bool skip_scaling_list(BitReader& reader, int size) {
  if (reader.bit() == 0) {
    return true;
  }
  int last = 8;
  int next = 8;
  for (int i = 0; i < size && reader.ok(); ++i) {
    if (next != 0) {
      const std::int64_t delta = reader.se();
      if (delta < -128 || delta > 127) {
        return false;
      }
      next = static_cast<int>((last + delta) & 0xff);
    }
    if (i == 0 && next == 0) {
      break;
    }
    last = next != 0 ? next : last;
  }
  return reader.ok();
}

bool skip_hrd_parameters(BitReader& reader) {
  const std::uint32_t cpb_count = reader.ue31() + 1;
  reader.bits(8);  // bit_rate_scale, cpb_size_scale
  for (std::uint32_t i = 0; i < cpb_count && reader.ok(); ++i) {
    reader.ue();   // bit_rate_value_minus1
    reader.ue();   // cpb_size_value_minus1
    reader.bit();  // cbr_flag
  }
  reader.bits(20);  // four delay and offset lengths
  return reader.ok();
}

// max_num_reorder_frames of the VUI's bitstream restriction, -1 when the VUI
// has none, nothing on any path FFmpeg treats specially.
std::optional<int> vui_reorder_frames(BitReader& reader) {
  if (reader.bit() != 0) {  // aspect_ratio_info_present_flag
    const std::uint32_t aspect_ratio_idc = reader.bits(8);
    if (aspect_ratio_idc == 255) {
      reader.bits(32);  // sar_width, sar_height
    } else if (aspect_ratio_idc > 16) {
      return std::nullopt;  // FFmpeg refuses the SPS
    }
  }
  if (reader.bit() != 0) {  // overscan_info_present_flag
    reader.bit();
  }
  if (reader.bit() != 0) {      // video_signal_type_present_flag
    if (reader.bits(5) & 1U) {  // video_format, full range, colour flag
      reader.bits(24);          // colour description
    }
  }
  if (reader.bit() != 0) {  // chroma_loc_info_present_flag
    reader.ue31();
    reader.ue31();
  }
  // FFmpeg stops reading a VUI cut short here.
  if (reader.peek_bit() && reader.left() < 10) {
    return std::nullopt;
  }
  if (reader.bit() != 0) {  // timing_info_present_flag
    reader.bits(32);
    reader.bits(32);
    reader.bit();
  }
  const bool nal_hrd = reader.bit() != 0;
  if (nal_hrd && !skip_hrd_parameters(reader)) {
    return std::nullopt;
  }
  const bool vcl_hrd = reader.bit() != 0;
  if (vcl_hrd && !skip_hrd_parameters(reader)) {
    return std::nullopt;
  }
  if (nal_hrd || vcl_hrd) {
    reader.bit();  // low_delay_hrd_flag
  }
  reader.bit();  // pic_struct_present_flag
  if (!reader.ok() || reader.left() == 0) {
    return std::nullopt;
  }
  if (reader.bit() == 0) {
    return -1;
  }
  reader.bit();
  for (int i = 0; i < 4; ++i) {
    reader.ue31();
  }
  const std::uint32_t reorder = reader.ue31();
  reader.ue31();  // max_dec_frame_buffering
  if (!reader.ok() || reorder > 16) {
    return std::nullopt;
  }
  return static_cast<int>(reorder);
}

}  // namespace

std::optional<int> h264_sps_reorder_depth(std::span<const std::uint8_t> nal_unit) {
  if (nal_unit.size() < 2 || (nal_unit[0] & 0x1f) != 7) {
    return std::nullopt;
  }
  // The RBSP: emulation prevention bytes out, then up to the stop bit.
  std::vector<std::uint8_t> rbsp;
  rbsp.reserve(nal_unit.size());
  int zeros = 0;
  for (std::size_t i = 1; i < nal_unit.size(); ++i) {
    const std::uint8_t byte = nal_unit[i];
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    rbsp.push_back(byte);
  }
  while (!rbsp.empty() && rbsp.back() == 0) {
    rbsp.pop_back();
  }
  if (rbsp.empty()) {
    return std::nullopt;
  }
  const int trailing = __builtin_ctz(rbsp.back()) + 1;
  BitReader reader(rbsp, rbsp.size() * 8 - static_cast<std::size_t>(trailing));

  const std::uint32_t profile = reader.bits(8);
  reader.bits(8);  // constraint flags, reserved bits
  const std::uint32_t level = reader.bits(8);
  reader.ue31();  // seq_parameter_set_id
  static constexpr std::array<std::uint32_t, 11> HIGH_PROFILES{100, 110, 122, 244, 44, 83,
                                                               86,  118, 128, 138, 144};
  std::uint32_t chroma_format = 1;
  if (std::ranges::find(HIGH_PROFILES, profile) != HIGH_PROFILES.end()) {
    chroma_format = reader.ue31();
    if (chroma_format > 3 || (chroma_format == 3 && reader.bit() != 0)) {
      return std::nullopt;
    }
    const std::uint32_t luma_depth = reader.ue31();
    if (reader.ue31() != luma_depth || luma_depth > 6) {
      return std::nullopt;
    }
    reader.bit();             // qpprime_y_zero_transform_bypass_flag
    if (reader.bit() != 0) {  // seq_scaling_matrix_present_flag
      const int lists = chroma_format == 3 ? 12 : 8;
      for (int i = 0; i < lists; ++i) {
        if (!skip_scaling_list(reader, i < 6 ? 16 : 64)) {
          return std::nullopt;
        }
      }
    }
  }
  if (reader.ue31() > 12) {  // log2_max_frame_num_minus4
    return std::nullopt;
  }
  const std::uint32_t poc_type = reader.ue31();
  if (poc_type == 0) {
    if (reader.ue31() > 12) {
      return std::nullopt;
    }
  } else if (poc_type == 1) {
    reader.bit();
    reader.se();
    reader.se();
    const std::uint32_t cycle = reader.ue();
    if (cycle >= 256) {
      return std::nullopt;
    }
    for (std::uint32_t i = 0; i < cycle && reader.ok(); ++i) {
      reader.se();
    }
  } else if (poc_type != 2) {
    return std::nullopt;
  }
  if (reader.ue31() > 16) {  // max_num_ref_frames
    return std::nullopt;
  }
  reader.bit();  // gaps_in_frame_num_value_allowed_flag
  const std::uint64_t mb_width = std::uint64_t{reader.ue()} + 1;
  std::uint64_t mb_height = std::uint64_t{reader.ue()} + 1;
  const bool frame_mbs_only = reader.bit() != 0;
  if (!frame_mbs_only) {
    mb_height *= 2;
    reader.bit();  // mb_adaptive_frame_field_flag
  }
  reader.bit();             // direct_8x8_inference_flag
  if (reader.bit() != 0) {  // frame_cropping_flag
    for (int i = 0; i < 4; ++i) {
      reader.ue();
    }
  }
  int reorder = -1;
  if (reader.bit() != 0) {  // vui_parameters_present_flag
    const auto from_vui = vui_reorder_frames(reader);
    if (!from_vui) {
      return std::nullopt;
    }
    reorder = *from_vui;
  }
  if (!reader.ok() || mb_width > 1U << 16 || mb_height > 1U << 16) {
    return std::nullopt;
  }
  if (reorder >= 0) {
    return reorder;
  }
  for (const auto& [level_idc, dpb_mbs] : LEVEL_MAX_DPB_MBS) {
    if (static_cast<std::uint32_t>(level_idc) == level) {
      return static_cast<int>(std::min<std::uint64_t>(
          static_cast<std::uint64_t>(dpb_mbs) / (mb_width * mb_height), MAX_REORDER_DEPTH));
    }
  }
  return MAX_REORDER_DEPTH;
}

}  // namespace vantle
