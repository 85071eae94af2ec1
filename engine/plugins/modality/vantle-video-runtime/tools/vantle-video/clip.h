// A video stream as the library's host holds it: the codec, its extradata and
// the access units in decode order, cut into groups of pictures at key frames.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "media/colour.h"
#include "vantle_video_runtime.h"

namespace vantle::tool {

struct AccessUnit {
  std::vector<std::uint8_t> bytes;
  bool key = false;
};

// Packets [first, first + count) of the clip.
struct Group {
  std::size_t first = 0;
  std::size_t count = 0;
};

struct Clip {
  std::string source;  // the file name, or "built-in example"
  RuntimeCodec codec = RuntimeCodec::H264;
  std::string codec_name;
  int width = 0;
  int height = 0;
  // Frames per second as a fraction; 25/1 when the container does not say.
  int frame_rate_num = 25;
  int frame_rate_den = 1;
  // The container's colour description.
  media::ColourDescription colour;
  // The decoded pictures' FFmpeg pixel format (AVPixelFormat); -1 when the
  // container does not say.
  int pixel_format = -1;
  // The display matrix the container carries for the stream, if any.
  std::optional<std::array<std::int32_t, 9>> display_matrix;
  std::vector<std::uint8_t> extradata;
  std::vector<AccessUnit> access_units;
  std::vector<Group> groups;

  // The request fields every export shares, for one group. The packet
  // records point into this clip, which must outlive the request.
  RuntimeDecodeRequest request(const Group& group, std::vector<RuntimePacket>& packets) const;
};

// Cuts the access units into groups: a group starts at every key frame.
// Access units before the first key frame cannot be decoded on their own and
// are dropped. Fails when there is no key frame at all.
Status split_into_groups(Clip& clip);

}  // namespace vantle::tool
