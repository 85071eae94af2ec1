#include "decoding/parameter_sets.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "decoding/runtime_codec.h"

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

void add_unique(ParameterSets& sets, ByteView unit) {
  std::vector<std::uint8_t> bytes(unit.begin(), unit.end());
  const auto at = std::lower_bound(sets.begin(), sets.end(), bytes);
  if (at == sets.end() || *at != bytes) {
    sets.insert(at, std::move(bytes));
  }
}

// The offset of the next 00 00 01 at or after `from`, or the packet's size.
// Every packet is walked on the decode path, so the search jumps from one
// 01 byte to the next (memchr) instead of testing every byte.
std::size_t next_start_code(ByteView packet, std::size_t from) {
  const std::uint8_t* data = packet.data();
  std::size_t at = from;
  while (at + 3 <= packet.size()) {
    const void* one = std::memchr(data + at + 2, 1, packet.size() - at - 2);
    if (one == nullptr) {
      return packet.size();
    }
    const auto candidate =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(one) - data) - 2;
    if (data[candidate] == 0 && data[candidate + 1] == 0) {
      return candidate;
    }
    at = candidate + 1;
  }
  return packet.size();
}

// A NAL unit runs from behind its start code to the next start code; the
// zero bytes in front of that one (a four-byte start code, trailing zeros)
// are not part of it. Start codes cannot occur inside a NAL unit (emulation
// prevention).
void add_annex_b_sets(RuntimeCodec codec, ByteView packet, ParameterSets& sets) {
  std::size_t at = next_start_code(packet, 0);
  while (at < packet.size()) {
    const std::size_t begin = at + 3;
    const std::size_t end = next_start_code(packet, begin);
    std::size_t last = end;
    while (last > begin && packet[last - 1] == 0) {
      --last;
    }
    if (last > begin && is_parameter_set(codec, packet[begin])) {
      add_unique(sets, packet.subspan(begin, last - begin));
    }
    at = end;
  }
}

// Adds the NAL unit behind the `length_size`-byte length field at `at` when
// it is a parameter set, and moves `at` past it. False when the field or the
// unit runs past the end.
bool add_prefixed_unit(RuntimeCodec codec, ByteView bytes, std::size_t length_size, std::size_t& at,
                       ParameterSets& sets) {
  if (bytes.size() - at < length_size) {
    return false;
  }
  std::size_t length = 0;
  for (std::size_t i = 0; i < length_size; ++i) {
    length = (length << 8) | bytes[at + i];
  }
  at += length_size;
  if (length > bytes.size() - at) {
    return false;
  }
  if (length > 0 && is_parameter_set(codec, bytes[at])) {
    add_unique(sets, bytes.subspan(at, length));
  }
  at += length;
  return true;
}

bool add_length_prefixed_sets(RuntimeCodec codec, ByteView packet, std::size_t length_size,
                              ParameterSets& sets) {
  std::size_t at = 0;
  while (at < packet.size()) {
    if (!add_prefixed_unit(codec, packet, length_size, at, sets)) {
      return false;
    }
  }
  return true;
}

// The NAL length field size of an avcC / hvcC record, 0 for Annex B
// extradata (or none), which the decoders read the same way.
std::size_t nal_length_size(RuntimeCodec codec, ByteView extradata) {
  if (extradata.empty() || extradata[0] != 1) {
    return 0;
  }
  const std::size_t field = codec == RuntimeCodec::H264 ? 4 : 21;
  if (extradata.size() <= field) {
    return 0;
  }
  return static_cast<std::size_t>(extradata[field] & 3) + 1;
}

// The SPS and PPS arrays of an avcC record, each behind a count byte (5 bits
// for the SPS), its units behind 16-bit lengths. Anything after the PPS array
// (profile extensions) holds neither.
bool add_avcc_sets(ByteView record, ParameterSets& sets) {
  std::size_t at = 5;
  for (const unsigned count_mask : {0x1fU, 0xffU}) {
    if (record.size() <= at) {
      return false;
    }
    const std::size_t count = record[at++] & count_mask;
    for (std::size_t i = 0; i < count; ++i) {
      if (!add_prefixed_unit(RuntimeCodec::H264, record, 2, at, sets)) {
        return false;
      }
    }
  }
  return true;
}

// The arrays of an hvcC record behind its 22-byte header and array count:
// each a type byte and a 16-bit unit count, its units behind 16-bit lengths.
bool add_hvcc_sets(ByteView record, ParameterSets& sets) {
  constexpr std::size_t ARRAYS = 22;
  if (record.size() <= ARRAYS) {
    return false;
  }
  const std::size_t arrays = record[ARRAYS];
  std::size_t at = ARRAYS + 1;
  for (std::size_t i = 0; i < arrays; ++i) {
    if (record.size() - at < 3) {
      return false;
    }
    const std::size_t count = (std::size_t{record[at + 1]} << 8) | record[at + 2];
    at += 3;
    for (std::size_t unit = 0; unit < count; ++unit) {
      if (!add_prefixed_unit(RuntimeCodec::H265, record, 2, at, sets)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool add_extradata_parameter_sets(RuntimeCodec codec, ByteView extradata, ParameterSets& sets) {
  if (!carries_nal_units(codec)) {
    return true;
  }
  if (nal_length_size(codec, extradata) != 0) {
    return codec == RuntimeCodec::H264 ? add_avcc_sets(extradata, sets)
                                       : add_hvcc_sets(extradata, sets);
  }
  add_annex_b_sets(codec, extradata, sets);
  return true;
}

bool add_parameter_sets(RuntimeCodec codec, ByteView extradata, ByteView packet,
                        ParameterSets& sets) {
  if (!carries_nal_units(codec)) {
    return true;
  }
  const std::size_t length_size = nal_length_size(codec, extradata);
  if (length_size != 0) {
    // A decoder given avcC / hvcC extradata may still take Annex B packets;
    // such a packet's parameter sets are not known for sure.
    ParameterSets annex_b;
    add_annex_b_sets(codec, packet, annex_b);
    return annex_b.empty() && add_length_prefixed_sets(codec, packet, length_size, sets);
  }
  add_annex_b_sets(codec, packet, sets);
  return true;
}

}  // namespace vantle
