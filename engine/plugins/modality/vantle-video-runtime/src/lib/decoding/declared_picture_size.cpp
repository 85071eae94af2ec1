#include "decoding/declared_picture_size.h"

#include <cstdint>

#include "common/request_limits.h"
#include "decoding/bit_reader.h"
#include "decoding/h264_reorder_depth.h"
#include "decoding/parameter_sets.h"
#include "decoding/runtime_codec.h"

namespace vantle {

namespace {

std::uint64_t area(const PictureSize& size) {
  std::uint64_t pixels = 0;
  return __builtin_mul_overflow(size.width, size.height, &pixels) ? UINT64_MAX : pixels;
}

void keep_larger(std::optional<PictureSize>& largest, const std::optional<PictureSize>& size) {
  if (size && (!largest || area(*size) > area(*largest))) {
    largest = size;
  }
}

std::optional<PictureSize> largest_sps(RuntimeCodec codec, const ParameterSets& sets) {
  std::optional<PictureSize> largest;
  for (const auto& unit : sets) {
    keep_larger(largest, codec == RuntimeCodec::H264 ? h264_sps_picture_size(unit)
                                                     : h265_sps_picture_size(unit));
  }
  return largest;
}

void skip_h265_profile_tier_level(BitReader& reader, std::uint32_t sub_layers) {
  reader.skip(88 + 8);  // general profile and level
  bool profile_present[8] = {};
  bool level_present[8] = {};
  for (std::uint32_t i = 0; i < sub_layers; ++i) {
    profile_present[i] = reader.bit() != 0;
    level_present[i] = reader.bit() != 0;
  }
  if (sub_layers > 0) {
    reader.skip(2 * (8 - sub_layers));
  }
  for (std::uint32_t i = 0; i < sub_layers; ++i) {
    reader.skip((profile_present[i] ? 88 : 0) + (level_present[i] ? 8 : 0));
  }
}

// An OBU's leb128 value, at most eight bytes.
std::optional<std::uint64_t> read_leb128(ByteView bytes, std::size_t& at) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    if (at >= bytes.size()) {
      return std::nullopt;
    }
    const std::uint8_t byte = bytes[at++];
    value |= std::uint64_t{byte & 0x7fU} << (7 * i);
    if ((byte & 0x80) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

std::optional<PictureSize> av1_sequence_header_size(ByteView payload) {
  BitReader reader(payload);
  reader.skip(3);           // seq_profile
  reader.bit();             // still_picture
  if (reader.bit() != 0) {  // reduced_still_picture_header
    reader.skip(5);
  } else {
    bool decoder_model_info = false;
    std::uint32_t buffer_delay_length = 0;
    if (reader.bit() != 0) {    // timing_info_present_flag
      reader.skip(64);          // num_units_in_display_tick, time_scale
      if (reader.bit() != 0) {  // equal_picture_interval: uvlc
        int zeros = 0;
        while (reader.ok() && reader.bit() == 0 && zeros < 32) {
          ++zeros;
        }
        reader.skip(static_cast<std::size_t>(zeros));
      }
      decoder_model_info = reader.bit() != 0;
      if (decoder_model_info) {
        buffer_delay_length = reader.bits(5) + 1;
        reader.skip(32 + 5 + 5);
      }
    }
    const bool initial_display_delay = reader.bit() != 0;
    const std::uint32_t operating_points = reader.bits(5) + 1;
    for (std::uint32_t i = 0; i < operating_points && reader.ok(); ++i) {
      reader.skip(12);  // operating_point_idc
      if (reader.bits(5) > 7) {
        reader.bit();  // seq_tier
      }
      if (decoder_model_info && reader.bit() != 0) {
        reader.skip(2 * buffer_delay_length + 1);
      }
      if (initial_display_delay && reader.bit() != 0) {
        reader.skip(4);
      }
    }
  }
  const int width_bits = static_cast<int>(reader.bits(4)) + 1;
  const int height_bits = static_cast<int>(reader.bits(4)) + 1;
  const std::uint64_t width = std::uint64_t{reader.bits(width_bits)} + 1;
  const std::uint64_t height = std::uint64_t{reader.bits(height_bits)} + 1;
  if (!reader.ok()) {
    return std::nullopt;
  }
  return PictureSize{width, height};
}

}  // namespace

std::optional<PictureSize> h265_sps_picture_size(ByteView nal_unit) {
  if (nal_unit.size() < 3 || ((nal_unit[0] >> 1) & 0x3f) != 33) {
    return std::nullopt;
  }
  const auto rbsp = nal_rbsp(nal_unit, 2);
  if (!rbsp) {
    return std::nullopt;
  }
  BitReader reader = rbsp->reader();
  reader.skip(4);  // sps_video_parameter_set_id
  const std::uint32_t sub_layers = reader.bits(3);
  reader.bit();  // sps_temporal_id_nesting_flag
  if (sub_layers > 6) {
    return std::nullopt;
  }
  skip_h265_profile_tier_level(reader, sub_layers);
  reader.ue();  // sps_seq_parameter_set_id
  const std::uint32_t chroma_format = reader.ue();
  if (chroma_format > 3) {
    return std::nullopt;
  }
  const bool separate_planes = chroma_format == 3 && reader.bit() != 0;
  PictureSize size{reader.ue(), reader.ue()};
  if (reader.bit() != 0) {  // conformance_window_flag
    const std::uint64_t left = reader.ue();
    const std::uint64_t right = reader.ue();
    const std::uint64_t top = reader.ue();
    const std::uint64_t bottom = reader.ue();
    const bool subsampled = !separate_planes && (chroma_format == 1 || chroma_format == 2);
    const std::uint64_t crop_x = (left + right) * (subsampled ? 2 : 1);
    const std::uint64_t crop_y = (top + bottom) * (!separate_planes && chroma_format == 1 ? 2 : 1);
    if (crop_x < size.width && crop_y < size.height) {
      size.width -= crop_x;
      size.height -= crop_y;
    }
  }
  if (!reader.ok()) {
    return std::nullopt;
  }
  return size;
}

std::optional<PictureSize> av1_sequence_picture_size(ByteView obus) {
  std::optional<PictureSize> largest;
  std::size_t at = 0;
  while (at < obus.size()) {
    const std::uint8_t header = obus[at++];
    const int type = (header >> 3) & 0x0f;
    if ((header & 0x04) != 0) {  // obu_extension_flag
      ++at;
    }
    std::uint64_t size = at <= obus.size() ? obus.size() - at : 0;
    if ((header & 0x02) != 0) {  // obu_has_size_field
      const auto field = read_leb128(obus, at);
      if (!field || at > obus.size() || *field > obus.size() - at) {
        break;
      }
      size = *field;
    }
    if (at > obus.size()) {
      break;
    }
    if (type == 1) {  // OBU_SEQUENCE_HEADER
      keep_larger(largest, av1_sequence_header_size(obus.subspan(at, size)));
    }
    at += size;
  }
  return largest;
}

std::optional<PictureSize> vp9_frame_picture_size(ByteView frame) {
  BitReader reader(frame);
  if (reader.bits(2) != 2) {  // frame_marker
    return std::nullopt;
  }
  const std::uint32_t low = reader.bit();
  const std::uint32_t profile = (reader.bit() << 1) | low;
  if (profile == 3) {
    reader.bit();
  }
  if (reader.bit() != 0) {  // show_existing_frame
    return std::nullopt;
  }
  const bool key_frame = reader.bit() == 0;
  const bool show_frame = reader.bit() != 0;
  const bool error_resilient = reader.bit() != 0;
  bool intra_only = false;
  if (!key_frame) {
    intra_only = !show_frame && reader.bit() != 0;
    if (!error_resilient) {
      reader.skip(2);  // reset_frame_context
    }
    if (!intra_only) {
      return std::nullopt;  // sizes of inter frames are left to the decoder
    }
  }
  if (reader.bits(24) != 0x498342) {  // frame_sync_code
    return std::nullopt;
  }
  if (key_frame || profile > 0) {  // color_config
    if (profile >= 2) {
      reader.bit();
    }
    const bool rgb = reader.bits(3) == 7;
    if (!rgb) {
      reader.bit();  // color_range
      if (profile == 1 || profile == 3) {
        reader.skip(3);
      }
    } else if (profile == 1 || profile == 3) {
      reader.bit();
    }
  }
  if (intra_only) {
    reader.skip(8);  // refresh_frame_flags
  }
  const std::uint64_t width = std::uint64_t{reader.bits(16)} + 1;
  const std::uint64_t height = std::uint64_t{reader.bits(16)} + 1;
  if (!reader.ok()) {
    return std::nullopt;
  }
  return PictureSize{width, height};
}

std::optional<PictureSize> vp8_frame_picture_size(ByteView frame) {
  // A key frame: the frame tag's bit 0 clear, then the start code.
  if (frame.size() < 10 || (frame[0] & 1) != 0 || frame[3] != 0x9d || frame[4] != 0x01 ||
      frame[5] != 0x2a) {
    return std::nullopt;
  }
  const std::uint64_t width = (frame[6] | (std::uint64_t{frame[7]} << 8)) & 0x3fff;
  const std::uint64_t height = (frame[8] | (std::uint64_t{frame[9]} << 8)) & 0x3fff;
  return PictureSize{width, height};
}

std::optional<PictureSize> extradata_picture_size(RuntimeCodec codec, ByteView extradata) {
  if (carries_nal_units(codec)) {
    ParameterSets sets;
    add_extradata_parameter_sets(codec, extradata, sets);
    return largest_sps(codec, sets);
  }
  if (codec == RuntimeCodec::Av1 && !extradata.empty()) {
    // An av1C record (marker bit set) carries its OBUs behind four bytes.
    return av1_sequence_picture_size(
        (extradata[0] & 0x80) != 0 && extradata.size() >= 4 ? extradata.subspan(4) : extradata);
  }
  return std::nullopt;
}

std::optional<PictureSize> packet_picture_size(RuntimeCodec codec, ByteView extradata,
                                               ByteView packet) {
  switch (codec) {
    case RuntimeCodec::Av1:
      return av1_sequence_picture_size(packet);
    case RuntimeCodec::Vp9:
      return vp9_frame_picture_size(packet);
    case RuntimeCodec::Vp8:
      return vp8_frame_picture_size(packet);
    default: {
      ParameterSets sets;
      add_parameter_sets(codec, extradata, packet, sets);
      return largest_sps(codec, sets);
    }
  }
}

Status check_picture_area(RuntimeCodec codec, const std::optional<PictureSize>& size,
                          std::uint64_t limit) {
  if (size && above_picture_area_limit(size->width, size->height, limit)) {
    return fail(picture_area_refusal(name(codec), size->width, size->height, limit));
  }
  return {};
}

}  // namespace vantle
