// indexed: every picture of one group with the packet that produced it.
#include <cstdio>

#include "colour_names.h"
#include "command_support.h"
#include "commands.h"
#include "runtime_calls.h"

namespace vantle::tool {

namespace {

constexpr auto kOptions = group_options();

Status print_pictures(const ParsedOptions&, const ClipGroup& chosen) {
  std::vector<RuntimePacket> packets;
  RuntimeDecodeRequest request = chosen.clip.request(chosen.group(), packets);
  request.pixel_format = RuntimePixelFormat::Yuv420;
  auto frames = decode_indexed(request);
  if (!frames) {
    return vantle::fail(frames.error());
  }
  std::printf("position packet size range space primaries transfer\n");
  std::size_t position = 0;
  for (const RuntimeIndexedFrame& item : frames->items()) {
    const RuntimeFrame& frame = item.frame;
    std::printf(
        "%zu %zu %ux%u %s %s %s %s\n", position++, item.packet_index, frame.width, frame.height,
        range_name(frame.color_range).c_str(), space_name(frame.color_space).c_str(),
        primaries_name(frame.color_primaries).c_str(), transfer_name(frame.color_trc).c_str());
  }
  return {};
}

}  // namespace

const Command kIndexed{
    {"indexed", "[FILE] [--group N]",
     "Decodes one group of pictures of FILE (the built-in example without FILE; H.264 or H.265)\n"
     "with the library's indexed decode and prints one line per picture: output position,\n"
     "index of the packet that produced it (within the group), size and colour fields.",
     kOptions},
    print_pictures};

}  // namespace vantle::tool
