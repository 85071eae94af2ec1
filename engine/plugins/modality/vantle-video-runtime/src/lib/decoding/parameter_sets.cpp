#include "decoding/parameter_sets.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

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

void add_unique(ParameterSets& sets, std::span<const std::uint8_t> unit) {
  std::vector<std::uint8_t> bytes(unit.begin(), unit.end());
  const auto at = std::lower_bound(sets.begin(), sets.end(), bytes);
  if (at == sets.end() || *at != bytes) {
    sets.insert(at, std::move(bytes));
  }
}

// The offset of the next 00 00 01 at or after `from`, or the packet's size.
// Every packet is walked on the decode path, so the search jumps from one
// 01 byte to the next (memchr) instead of testing every byte.
std::size_t next_start_code(std::span<const std::uint8_t> packet, std::size_t from) {
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
void add_annex_b_sets(RuntimeCodec codec, std::span<const std::uint8_t> packet,
                      ParameterSets& sets) {
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

bool add_length_prefixed_sets(RuntimeCodec codec, std::span<const std::uint8_t> packet,
                              std::size_t length_size, ParameterSets& sets) {
  std::size_t at = 0;
  while (at < packet.size()) {
    if (packet.size() - at < length_size) {
      return false;
    }
    std::size_t length = 0;
    for (std::size_t i = 0; i < length_size; ++i) {
      length = (length << 8) | packet[at + i];
    }
    at += length_size;
    if (length > packet.size() - at) {
      return false;
    }
    if (length > 0 && is_parameter_set(codec, packet[at])) {
      add_unique(sets, packet.subspan(at, length));
    }
    at += length;
  }
  return true;
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

// Arrays of (16-bit length, NAL unit) from `at`: avcC has an SPS array and a
// PPS array, each behind a count byte (5 bits for the SPS); hvcC has typed
// arrays, each behind a type byte and a 16-bit count.
bool add_record_arrays(RuntimeCodec codec, std::span<const std::uint8_t> record,
                       ParameterSets& sets) {
  std::size_t at = codec == RuntimeCodec::H264 ? 5 : 22;
  const auto read_units = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (record.size() - at < 2) {
        return false;
      }
      const std::size_t length = (std::size_t{record[at]} << 8) | record[at + 1];
      at += 2;
      if (length > record.size() - at) {
        return false;
      }
      if (length > 0 && is_parameter_set(codec, record[at])) {
        add_unique(sets, record.subspan(at, length));
      }
      at += length;
    }
    return true;
  };
  if (codec == RuntimeCodec::H264) {
    // Anything behind the PPS array (profile extensions) holds no SPS or PPS.
    return record.size() > at && read_units(record[at++] & 0x1fU) && record.size() > at &&
           read_units(record[at++]);
  }
  if (record.size() <= at) {
    return false;
  }
  const std::size_t arrays = record[at++];
  for (std::size_t i = 0; i < arrays; ++i) {
    if (record.size() - at < 3) {
      return false;
    }
    const std::size_t count = (std::size_t{record[at + 1]} << 8) | record[at + 2];
    at += 3;
    if (!read_units(count)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool add_extradata_parameter_sets(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                                  ParameterSets& sets) {
  if (codec == RuntimeCodec::Av1) {
    return true;
  }
  if (nal_length_size(codec, extradata) != 0) {
    return add_record_arrays(codec, extradata, sets);
  }
  add_annex_b_sets(codec, extradata, sets);
  return true;
}

bool add_parameter_sets(RuntimeCodec codec, std::span<const std::uint8_t> extradata,
                        std::span<const std::uint8_t> packet, ParameterSets& sets) {
  if (codec == RuntimeCodec::Av1) {
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
