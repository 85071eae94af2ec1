// transcode: chosen pictures of one group as a fresh H.264 group, written as
// an Annex B stream.
#include <cstdio>
#include <memory>

#include "command_support.h"
#include "commands.h"
#include "runtime_calls.h"

namespace vantle::tool {

namespace {

constexpr auto kOptions = group_options({
    {"--positions", nullptr, ValueKind::Required, "P,...",
     "display positions to re-encode, in display order (default: every picture)"},
    {"--fps", nullptr, ValueKind::Required, "RATE",
     "frame rate of the new stream, such as 30000/1001 or 25 (default: the file's)"},
    {"--bitrate", nullptr, ValueKind::Required, "B",
     "target bit rate in bits per second (default 0: the encoder's own rate control)"},
    {"--output", "-o", ValueKind::Required, "OUT.h264", "the Annex B H.264 file to write"},
});

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

Status write_h264(const ParsedOptions& options, const ClipGroup& chosen) {
  const auto output = options.value("--output");
  if (!output) {
    return vantle::fail("-o OUT.h264 is required");
  }
  std::vector<std::size_t> positions;
  if (auto text = options.value("--positions")) {
    auto parsed = parse_positions(*text);
    if (!parsed) {
      return vantle::fail(parsed.error());
    }
    positions = std::move(*parsed);
  } else {
    // A group has at most one picture per packet; positions past its end
    // select nothing.
    for (std::size_t i = 0; i < chosen.group().count; ++i) {
      positions.push_back(i);
    }
  }
  const Clip& clip = chosen.clip;
  std::pair<std::uint32_t, std::uint32_t> rate{static_cast<std::uint32_t>(clip.frame_rate_num),
                                               static_cast<std::uint32_t>(clip.frame_rate_den)};
  if (auto text = options.value("--fps")) {
    auto parsed = parse_rate(*text);
    if (!parsed) {
      return vantle::fail(parsed.error());
    }
    rate = *parsed;
  }
  std::uint64_t bit_rate = 0;
  if (auto text = options.value("--bitrate")) {
    auto parsed = parse_unsigned("--bitrate", *text);
    if (!parsed) {
      return vantle::fail(parsed.error());
    }
    bit_rate = *parsed;
  }

  std::vector<RuntimePacket> packets;
  RuntimeTranscodeRequest request{};
  request.decode = clip.request(chosen.group(), packets);
  request.decode.selected_positions = positions.data();
  request.decode.selected_position_count = positions.size();
  request.frame_rate_num = rate.first;
  request.frame_rate_den = rate.second;
  request.bit_rate = bit_rate;
  auto units = transcode_h264(request);
  if (!units) {
    return vantle::fail(units.error());
  }

  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(output->c_str(), "wb"));
  bool ok = file != nullptr;
  std::size_t bytes = 0;
  for (const RuntimeBytes& unit : units->items()) {
    ok = ok && std::fwrite(unit.data, 1, unit.len, file.get()) == unit.len;
    bytes += unit.len;
  }
  if (!ok || std::fclose(file.release()) != 0) {
    return vantle::fail("cannot write " + *output);
  }
  std::printf("wrote %s: %zu access units, %zu bytes, H.264 Annex B at %u/%u fps\n",
              output->c_str(), units->items().size(), bytes, rate.first, rate.second);
  return {};
}

}  // namespace

const Command kTranscode{
    {"transcode", "[FILE] [--group N] [--positions P,...] [--fps RATE] [--bitrate B] -o OUT.h264",
     "Decodes one group of pictures of FILE (the built-in example without FILE) and re-encodes\n"
     "the pictures at the chosen positions with the library's transcode as one new H.264 group\n"
     "of pictures (first a key frame), written as an Annex B stream that ffmpeg and ffplay open.",
     kOptions},
    write_h264};

}  // namespace vantle::tool
