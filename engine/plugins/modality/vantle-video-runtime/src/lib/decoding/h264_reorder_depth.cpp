#include "decoding/h264_reorder_depth.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "decoding/bit_reader.h"

namespace vantle {

namespace {

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

struct SpsHead {
  std::uint32_t level = 0;
  std::uint32_t chroma_format = 1;
  bool frame_mbs_only = true;
  std::uint64_t mb_width = 0;
  // In frame macroblock rows: twice the map units of a field-coded SPS.
  std::uint64_t mb_height = 0;
  // Left, right, top, bottom, in crop units.
  std::uint32_t crop[4] = {0, 0, 0, 0};
};

// The fields of an SPS up to its VUI, read from `reader`; nothing on any
// path where FFmpeg refuses the unit.
std::optional<SpsHead> read_sps_head(BitReader& reader) {
  SpsHead sps;
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
    for (std::uint32_t& offset : sps.crop) {
      offset = reader.ue();
    }
  }
  sps.level = level;
  sps.chroma_format = chroma_format;
  sps.frame_mbs_only = frame_mbs_only;
  sps.mb_width = mb_width;
  sps.mb_height = mb_height;
  return sps;
}

// The payload of an SPS NAL unit; nothing for any other unit.
std::optional<Rbsp> sps_rbsp(ByteView nal_unit) {
  if (nal_unit.size() < 2 || (nal_unit[0] & 0x1f) != 7) {
    return std::nullopt;
  }
  return nal_rbsp(nal_unit, 1);
}

}  // namespace

std::optional<int> h264_sps_reorder_depth(ByteView nal_unit) {
  const auto rbsp = sps_rbsp(nal_unit);
  if (!rbsp) {
    return std::nullopt;
  }
  BitReader reader = rbsp->reader();
  const auto sps = read_sps_head(reader);
  if (!sps) {
    return std::nullopt;
  }
  int reorder = -1;
  if (reader.bit() != 0) {  // vui_parameters_present_flag
    const auto from_vui = vui_reorder_frames(reader);
    if (!from_vui) {
      return std::nullopt;
    }
    reorder = *from_vui;
  }
  if (!reader.ok() || sps->mb_width > 1U << 16 || sps->mb_height > 1U << 16) {
    return std::nullopt;
  }
  if (reorder >= 0) {
    return reorder;
  }
  for (const auto& [level_idc, dpb_mbs] : LEVEL_MAX_DPB_MBS) {
    if (static_cast<std::uint32_t>(level_idc) == sps->level) {
      return static_cast<int>(std::min<std::uint64_t>(
          static_cast<std::uint64_t>(dpb_mbs) / (sps->mb_width * sps->mb_height),
          MAX_REORDER_DEPTH));
    }
  }
  return MAX_REORDER_DEPTH;
}

std::optional<PictureSize> h264_sps_picture_size(ByteView nal_unit) {
  const auto rbsp = sps_rbsp(nal_unit);
  if (!rbsp) {
    return std::nullopt;
  }
  BitReader reader = rbsp->reader();
  const auto sps = read_sps_head(reader);
  if (!sps || !reader.ok()) {
    return std::nullopt;
  }
  PictureSize size{sps->mb_width * 16, sps->mb_height * 16};
  // The cropped size, which FFmpeg checks its limit against; a crop FFmpeg
  // would reject leaves the coded size.
  const std::uint64_t unit_x = sps->chroma_format == 1 || sps->chroma_format == 2 ? 2 : 1;
  const std::uint64_t unit_y = (sps->chroma_format == 1 ? 2 : 1) * (sps->frame_mbs_only ? 1 : 2);
  const std::uint64_t crop_x = (std::uint64_t{sps->crop[0]} + sps->crop[1]) * unit_x;
  const std::uint64_t crop_y = (std::uint64_t{sps->crop[2]} + sps->crop[3]) * unit_y;
  if (crop_x < size.width && crop_y < size.height) {
    size.width -= crop_x;
    size.height -= crop_y;
  }
  return size;
}

}  // namespace vantle
