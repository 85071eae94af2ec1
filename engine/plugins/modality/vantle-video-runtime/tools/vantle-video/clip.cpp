#include "clip.h"
#include "common/result.h"

#include <algorithm>

namespace vantle::tool {

RuntimeDecodeRequest Clip::request(const Group& group, std::vector<RuntimePacket>& packets) const {
  packets.clear();
  for (std::size_t i = group.first; i < group.first + group.count; ++i) {
    packets.push_back(RuntimePacket{access_units[i].bytes.data(), access_units[i].bytes.size()});
  }
  RuntimeDecodeRequest request{};
  request.codec = codec;
  request.extradata = extradata.empty() ? nullptr : extradata.data();
  request.extradata_len = extradata.size();
  request.packets = packets.data();
  request.packet_count = packets.size();
  return request;
}

Status split_into_groups(Clip& clip) {
  auto first_key = std::find_if(clip.access_units.begin(), clip.access_units.end(),
                                [](const AccessUnit& unit) { return unit.key; });
  if (first_key == clip.access_units.end()) {
    return vantle::fail(clip.source + ": no key frame in the video stream");
  }
  clip.access_units.erase(clip.access_units.begin(), first_key);
  clip.groups.clear();
  for (std::size_t i = 0; i < clip.access_units.size(); ++i) {
    if (clip.access_units[i].key) {
      clip.groups.push_back(Group{i, 0});
    }
    ++clip.groups.back().count;
  }
  return {};
}

}  // namespace vantle::tool
