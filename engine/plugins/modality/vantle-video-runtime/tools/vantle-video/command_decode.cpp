// decode: pictures of one group or of all groups, written as PNG or .y4m.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "command_support.h"
#include "commands.h"
#include "common/result.h"
#include "display_matrix.h"
#include "picture_files.h"
#include "progress.h"
#include "runtime_calls.h"

namespace vantle::tool {

namespace {

constexpr auto kOptions = group_options({
    {"--all", nullptr, ValueKind::None, "", "every group of the file"},
    {"--positions", nullptr, ValueKind::Required, "P,...",
     "output positions within each group (presentation order, from 0); default all"},
    {"--rgb", nullptr, ValueKind::Optional, "WxH",
     "RGB pictures as PNG (the default), resized to WxH when given"},
    {"--yuv", nullptr, ValueKind::None, "", "YUV 4:2:0 pictures, one .y4m file per group"},
    {"--format", nullptr, ValueKind::Required, "F",
     "rgb (8-bit PNG, the default), rgb48 (16-bit PNG), yuv420 (as --yuv) or yuv420p16 "
     "(16-bit .y4m); the 16-bit ones keep the source's precision"},
    {"--no-autorotate", nullptr, ValueKind::None, "",
     "keep pictures as stored instead of turning them upright by the display matrix"},
    {"--out", "-o", ValueKind::Required, "DIR", "folder to write into (created if missing)"},
});

struct DecodeSettings {
  std::vector<std::size_t> groups;
  std::vector<std::size_t> positions;  // sorted, distinct; empty: all
  RuntimePixelFormat format = RuntimePixelFormat::Rgb;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  RuntimeDecodeOptions orientation{sizeof(RuntimeDecodeOptions), 0, 0, 0};
  std::filesystem::path out;
};

struct FormatName {
  const char* name;
  RuntimePixelFormat format;
};

constexpr FormatName kFormats[] = {
    {"rgb", RuntimePixelFormat::Rgb},
    {"rgb48", RuntimePixelFormat::Rgb48},
    {"yuv420", RuntimePixelFormat::Yuv420},
    {"yuv420p16", RuntimePixelFormat::Yuv420P16},
};

bool is_rgb(RuntimePixelFormat format) {
  return format == RuntimePixelFormat::Rgb || format == RuntimePixelFormat::Rgb48;
}

Result<DecodeSettings> settings(const ParsedOptions& options, const Clip& clip) {
  DecodeSettings settings;
  if (!options.has("--out")) {
    return vantle::fail("--out DIR is required");
  }
  settings.out = *options.value("--out");
  if (options.has("--rgb") && options.has("--yuv")) {
    return vantle::fail("--rgb and --yuv exclude each other");
  }
  if (options.has("--all") && options.has("--group")) {
    return vantle::fail("--all and --group exclude each other");
  }
  if (auto name = options.value("--format")) {
    const auto* found = std::find_if(std::begin(kFormats), std::end(kFormats),
                                     [&](const FormatName& f) { return *name == f.name; });
    if (found == std::end(kFormats)) {
      return vantle::fail("--format " + *name + ": not rgb, rgb48, yuv420 or yuv420p16");
    }
    settings.format = found->format;
    if ((options.has("--yuv") && settings.format != RuntimePixelFormat::Yuv420) ||
        (options.has("--rgb") && !is_rgb(settings.format))) {
      return vantle::fail(std::string(options.has("--yuv") ? "--yuv" : "--rgb") + " and --format " +
                          *name + " exclude each other");
    }
  } else if (options.has("--yuv")) {
    settings.format = RuntimePixelFormat::Yuv420;
  }
  if (auto size = options.value("--rgb"); size && !size->empty()) {
    auto parsed = parse_size(*size);
    if (!parsed) {
      return vantle::fail(parsed.error());
    }
    std::tie(settings.width, settings.height) = *parsed;
  }
  if (auto positions = options.value("--positions")) {
    auto parsed = parse_positions(*positions);
    if (!parsed) {
      return vantle::fail(parsed.error());
    }
    std::sort(parsed->begin(), parsed->end());
    parsed->erase(std::unique(parsed->begin(), parsed->end()), parsed->end());
    settings.positions = std::move(*parsed);
  }
  if (!options.has("--no-autorotate")) {
    settings.orientation = upright_options(clip);
  }
  if (options.has("--all")) {
    for (std::size_t i = 0; i < clip.groups.size(); ++i) {
      settings.groups.push_back(i);
    }
  } else {
    auto group = chosen_group(options, clip);
    if (!group) {
      return vantle::fail(group.error());
    }
    settings.groups.push_back(*group);
  }
  return settings;
}

std::string numbered(const char* pattern, std::size_t a, std::size_t b = 0) {
  char name[64];
  std::snprintf(name, sizeof name, pattern, a, b);
  return name;
}

// Writes one group's pictures; answers how many files it wrote.
Result<std::size_t> decode_group(const Clip& clip, std::size_t group_index,
                                 const DecodeSettings& settings) {
  std::vector<RuntimePacket> packets;
  RuntimeDecodeRequest request = clip.request(clip.groups[group_index], packets);
  request.pixel_format = settings.format;
  request.output_width = settings.width;
  request.output_height = settings.height;
  request.selected_positions = settings.positions.empty() ? nullptr : settings.positions.data();
  request.selected_position_count = settings.positions.size();
  auto frames = decode(request, settings.orientation);
  if (!frames) {
    return vantle::fail(frames.error());
  }
  const auto items = frames->items();
  const char* depth = settings.format == RuntimePixelFormat::Rgb48 ||
                              settings.format == RuntimePixelFormat::Yuv420P16
                          ? " 16-bit"
                          : "";
  if (!is_rgb(settings.format)) {
    if (items.empty()) {
      return 0;
    }
    const auto path = settings.out / numbered("group-%04zu.y4m", group_index);
    auto written = write_y4m(items, clip.frame_rate_num, clip.frame_rate_den, path.string());
    if (!written) {
      return vantle::fail(written.error());
    }
    std::printf("wrote %s: %zu pictures, %ux%u YUV 4:2:0%s\n", path.c_str(), items.size(),
                items.front().width, items.front().height, depth);
    return 1;
  }
  for (std::size_t i = 0; i < items.size(); ++i) {
    // Frames come in output order, one per selected position that exists.
    const std::size_t position = settings.positions.empty() ? i : settings.positions[i];
    const auto path = settings.out / numbered("group-%04zu-frame-%04zu.png", group_index, position);
    auto written = write_png(items[i], path.string());
    if (!written) {
      return vantle::fail(written.error());
    }
    std::printf("wrote %s: %ux%u RGB%s\n", path.c_str(), items[i].width, items[i].height, depth);
  }
  return items.size();
}

Status write_pictures(const ParsedOptions& options, const Clip& clip) {
  auto chosen = settings(options, clip);
  if (!chosen) {
    return vantle::fail(chosen.error());
  }
  std::error_code error;
  std::filesystem::create_directories(chosen->out, error);
  if (error) {
    return vantle::fail("cannot create " + chosen->out.string() + ": " + error.message());
  }
  if (const RuntimeDecodeOptions& turn = chosen->orientation;
      turn.rotation != 0 || turn.flip != 0) {
    std::printf("pictures %s to show them upright\n", turn_text(turn).c_str());
  }
  std::size_t files = 0;
  Progress progress("decode", chosen->groups.size());
  for (std::size_t group : chosen->groups) {
    auto written = decode_group(clip, group, *chosen);
    if (!written) {
      return vantle::fail(written.error());
    }
    files += *written;
    progress.step();
  }
  std::printf("%zu files in %s\n", files, chosen->out.c_str());
  return {};
}

}  // namespace

const Command kDecode{
    {"decode",
     "[FILE] [--group N | --all] [--positions P,...] [--rgb [WxH] | --yuv] [--format F] "
     "[--no-autorotate] --out DIR",
     "Decodes groups of pictures of FILE (the built-in example without FILE) with the library\n"
     "and writes the pictures at the chosen output positions: RGB as one PNG per picture\n"
     "(group-G-frame-P.png), YUV 4:2:0 as one YUV4MPEG2 file per group (group-G.y4m). Prints\n"
     "each file it wrote. Pictures of a stream with a display matrix are turned upright as the\n"
     "ffmpeg command line does (WxH is then the upright size). Default: group 0, every\n"
     "position, 8-bit RGB at the decoded size, upright.",
     kOptions},
    write_pictures};

}  // namespace vantle::tool
