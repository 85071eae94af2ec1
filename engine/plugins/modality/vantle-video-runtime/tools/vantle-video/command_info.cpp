// info: what the tool reads from a file, and whether the library takes its
// pictures' size.
extern "C" {
#include <libavutil/pixdesc.h>
}

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "colour_names.h"
#include "command_support.h"
#include "commands.h"
#include "display_matrix.h"
#include "runtime/codec_label.h"
#include "runtime_calls.h"

namespace vantle::tool {

namespace {

constexpr OptionSpec kOptions[] = {kHelpOption};

// "yuv420p10le, 10 bits", or "unknown" when probing found no format.
std::string pixel_format_text(int format) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  if (desc == nullptr) {
    return "unknown";
  }
  return std::string(desc->name) + ", " + std::to_string(desc->comp[0].depth) + " bits";
}

Status print_info(const ParsedOptions&, const Clip& clip) {
  // The library's own check of the size the stream declares: the extradata
  // and the first group's key frame, which selects no picture.
  if (!clip.groups.empty()) {
    std::vector<RuntimePacket> packets;
    RuntimeDecodeRequest request = clip.request(Group{clip.groups.front().first, 1}, packets);
    request.pixel_format = RuntimePixelFormat::Yuv420;
    const std::size_t none = SIZE_MAX;
    request.selected_positions = &none;
    request.selected_position_count = 1;
    const RuntimeDecodeOptions stored{sizeof(RuntimeDecodeOptions), 0, 0, 0};
    if (auto checked = decode(request, stored); !checked) {
      return vantle::fail(checked.error());
    }
  }
  std::printf("source: %s\n", clip.source.c_str());
  std::printf("codec: %s (%s)\n", runtime::codec_label(clip.codec), clip.codec_name.c_str());
  std::printf("size: %dx%d\n", clip.width, clip.height);
  std::printf("pixel format: %s\n", pixel_format_text(clip.pixel_format).c_str());
  std::printf("rotation: %s\n", rotation_text(clip).c_str());
  std::printf("frame rate: %d/%d\n", clip.frame_rate_num, clip.frame_rate_den);
  std::printf("colour: range %s, space %s, primaries %s, transfer %s\n",
              range_name(clip.colour.range).c_str(), space_name(clip.colour.space).c_str(),
              primaries_name(clip.colour.primaries).c_str(),
              transfer_name(clip.colour.transfer).c_str());
  std::printf("extradata: %zu bytes\n", clip.extradata.size());
  std::printf("access units: %zu\n", clip.access_units.size());
  std::printf("groups: %zu\n", clip.groups.size());
  std::printf("group lengths:");
  for (const Group& group : clip.groups) {
    std::printf(" %zu", group.count);
  }
  std::printf("\n");
  return {};
}

}  // namespace

const Command kInfo{
    {"info", "[FILE]",
     "Prints the codec, size, pixel format and bit depth, rotation, colour description, frame\n"
     "rate and extradata of the first video stream of FILE (the built-in example without\n"
     "FILE), its number of access units and of groups of pictures (cut at key frames), and\n"
     "each group's length in access units. The rotation is the display matrix's angle as\n"
     "ffprobe reports it (counter-clockwise), followed by what decode does to turn pictures\n"
     "upright.",
     kOptions},
    print_info};

}  // namespace vantle::tool
