// bench: pictures per second of the library's exports on a file, against the
// ceiling (support/ceiling), with the benchmark program's rules: a pass goes
// over the file's groups, each group's library call alternating with the
// host's own bare loop on the same group, the host demuxing between calls.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ceiling.h"
#include "command_support.h"
#include "commands.h"
#include "rounds.h"
#include "runtime_calls.h"

namespace vantle::tool {

namespace {

constexpr OptionSpec kOptions[] = {
    kThreadsOption,
    {"--repeat", nullptr, ValueKind::Required, "R",
     "timed passes over the file per work, median reported (default 3)"},
    {"--transcode-groups", nullptr, ValueKind::Required, "N",
     "transcode only the first N groups per pass (default: all); encoding dominates"},
    {"--size", nullptr, ValueKind::Required, "WxH",
     "size of the resized RGB work (default 640x360)"},
    {"--random-access", nullptr, ValueKind::Required, "N",
     "also N decodes of single groups picked across the file, against a fresh bare decoder "
     "per group"},
    {"--tsv", nullptr, ValueKind::None, "",
     "tab-separated lines instead of a table: work, library and ceiling pictures per second, "
     "the same per CPU second, pictures per pass"},
    kHelpOption,
};

struct Settings {
  int threads = 1;
  int repeat = 3;
  int width = 640;
  int height = 360;
  std::size_t random_access = 0;
  std::size_t transcode_groups = SIZE_MAX;
  bool tsv = false;
};

std::expected<Settings, std::string> bench_settings(const ParsedOptions& options) {
  Settings settings;
  if (auto text = options.value("--repeat")) {
    auto repeat = parse_unsigned("--repeat", *text);
    if (!repeat || *repeat == 0 || *repeat > 1000) {
      return std::unexpected("--repeat: expected 1 to 1000, got '" + *text + "'");
    }
    settings.repeat = static_cast<int>(*repeat);
  }
  if (auto text = options.value("--size")) {
    auto size = parse_size(*text);
    if (!size) {
      return std::unexpected(size.error());
    }
    settings.width = static_cast<int>(size->first);
    settings.height = static_cast<int>(size->second);
  }
  if (auto text = options.value("--random-access")) {
    auto calls = parse_unsigned("--random-access", *text);
    if (!calls) {
      return std::unexpected(calls.error());
    }
    settings.random_access = *calls;
  }
  if (auto text = options.value("--transcode-groups")) {
    auto groups = parse_unsigned("--transcode-groups", *text);
    if (!groups || *groups == 0) {
      return std::unexpected("--transcode-groups: expected at least 1, got '" + *text + "'");
    }
    settings.transcode_groups = *groups;
  }
  settings.tsv = options.has("--tsv");
  return settings;
}

// One library call doing `job` on one group; answers the pictures (access
// units) it returned.
std::expected<std::size_t, std::string> library_call(const Clip& clip, const Group& group,
                                                     const ceiling::Job& job) {
  std::vector<RuntimePacket> packets;
  RuntimeDecodeRequest request = clip.request(group, packets);
  request.pixel_format =
      job.work == ceiling::Work::Rgb ? RuntimePixelFormat::Rgb : RuntimePixelFormat::Yuv420;
  request.output_width = static_cast<std::uint32_t>(job.width);
  request.output_height = static_cast<std::uint32_t>(job.height);
  auto count = [](const auto& response) -> std::expected<std::size_t, std::string> {
    if (!response) {
      return std::unexpected(response.error());
    }
    return response->items().size();
  };
  if (job.work == ceiling::Work::Rgb || job.work == ceiling::Work::Yuv420) {
    return count(decode(request));
  }
  if (job.work == ceiling::Work::Indexed) {
    return count(decode_indexed(request));
  }
  std::vector<std::size_t> positions(group.count);
  for (std::size_t i = 0; i < group.count; ++i) {
    positions[i] = i;
  }
  RuntimeTranscodeRequest transcode{};
  transcode.decode = request;
  transcode.decode.selected_positions = positions.data();
  transcode.decode.selected_position_count = positions.size();
  transcode.frame_rate_num = 25;
  transcode.frame_rate_den = 1;
  return count(transcode_h264(transcode));
}

// The group the random-access case decodes at call i: spread over the file.
std::size_t random_access_group(std::size_t call, std::size_t groups) {
  return (call * 37 + call / groups) % groups;
}

struct Row {
  std::string name;
  ceiling::RowFigures figures;
};

}  // namespace

const CommandSpec kBenchSpec{
    "bench",
    "[FILE] [--threads N] [--repeat R] [--transcode-groups N] [--size WxH] [--random-access N]\n"
    "       [--tsv]",
    "Measures pictures per second of the library on every group of FILE (the built-in example\n"
    "without FILE): decode to YUV 4:2:0, to RGB at the decoded size, to RGB at --size, the\n"
    "indexed decode (H.264 and H.265) and the transcode of each whole group. Each is set\n"
    "against the ceiling, the host's own bare libavcodec loop doing the same work in the same\n"
    "process (one decoder flushed before each group, one scaler, output buffers recycled),\n"
    "group by group alternating with the library's calls, as the benchmark program measures;\n"
    "printed as a Markdown table with the ratio library / ceiling and the minor page faults\n"
    "per picture of each. The machine should be otherwise idle.",
    kOptions};

int run_bench(const ParsedOptions& options) {
  auto settings = bench_settings(options);
  if (!settings) {
    return report_error("bench", settings.error());
  }
  auto clip = load_clip(options);
  if (!clip) {
    return report_error("bench", clip.error());
  }
  // load_clip has set the library's thread variable; the ceiling uses the same.
  if (const char* threads = std::getenv("VANTLE_VIDEO_FFMPEG_THREADS")) {
    settings->threads = std::atoi(threads);
  }
  auto kept = ceiling::Ceiling::open(clip->codec, clip->extradata, settings->threads);
  if (!kept) {
    return report_error("bench", kept.error());
  }
  std::vector<std::vector<RuntimePacket>> packets(clip->groups.size());
  for (std::size_t i = 0; i < clip->groups.size(); ++i) {
    clip->request(clip->groups[i], packets[i]);
  }
  struct Work {
    std::string name;
    ceiling::Job job;
  };
  std::vector<Work> works = {
      {"yuv420", {ceiling::Work::Yuv420, 0, 0}},
      {"rgb", {ceiling::Work::Rgb, 0, 0}},
      {"rgb-" + std::to_string(settings->width) + "x" + std::to_string(settings->height),
       {ceiling::Work::Rgb, settings->width, settings->height}},
      {"indexed", {ceiling::Work::Indexed, 0, 0}},
      {"transcode", {ceiling::Work::Transcode, 0, 0}},
  };
  std::vector<Row> rows;
  for (const Work& work : works) {
    if (work.job.work == ceiling::Work::Indexed && clip->codec == RuntimeCodec::Av1) {
      continue;  // the indexed decode takes H.264 and H.265 only
    }
    std::fprintf(stderr, "vantle-video bench: %s ...\n", work.name.c_str());
    ceiling::RowPlan plan;
    plan.steps = work.job.work == ceiling::Work::Transcode
                     ? std::min(settings->transcode_groups, clip->groups.size())
                     : clip->groups.size();
    plan.min_rounds = plan.max_rounds = settings->repeat;
    plan.packets = [&](std::size_t step) { return std::span<const RuntimePacket>(packets[step]); };
    plan.library = [&](std::size_t step) {
      return library_call(*clip, clip->groups[step], work.job);
    };
    plan.ceiling = [&](std::size_t step) { return kept->run(packets[step], work.job); };
    auto figures = ceiling::measure_row(plan);
    if (!figures) {
      return report_error("bench", figures.error());
    }
    rows.push_back({work.name, *figures});
  }
  if (settings->random_access > 0) {
    // Each side alone: the library's pool against a host that opens a
    // decoder for every group it seeks to.
    const ceiling::Job job{ceiling::Work::Yuv420, 0, 0};
    auto group_of = [&](std::size_t step) {
      return random_access_group(step, clip->groups.size());
    };
    ceiling::RowPlan plan;
    plan.mode = ceiling::Mode::Quiet;
    plan.steps = settings->random_access;
    plan.min_rounds = plan.max_rounds = 1;
    plan.warm_up = false;
    plan.library = [&](std::size_t step) {
      return library_call(*clip, clip->groups[group_of(step)], job);
    };
    plan.ceiling = [&](std::size_t step) -> std::expected<std::size_t, std::string> {
      auto fresh = ceiling::Ceiling::open(clip->codec, clip->extradata, settings->threads);
      if (!fresh) {
        return std::unexpected(fresh.error());
      }
      return fresh->run(packets[group_of(step)], job);
    };
    auto figures = ceiling::measure_row(plan);
    if (!figures) {
      return report_error("bench", figures.error());
    }
    rows.push_back({"random-access", *figures});
  }

  if (settings->tsv) {
    for (const Row& row : rows) {
      const ceiling::RowFigures& f = row.figures;
      std::printf("%s\t%.2f\t%.2f\t%.2f\t%.2f\t%zu\n", row.name.c_str(), f.library.rate,
                  f.ceiling.rate, f.library.cpu_rate, f.ceiling.cpu_rate, f.units);
    }
    return 0;
  }
  std::size_t pictures = 0;
  for (const Group& group : clip->groups) {
    pictures += group.count;
  }
  std::printf("%s: %s %dx%d, %zu groups, %zu access units; %d codec thread%s, median of %d\n\n",
              clip->source.c_str(), codec_label(clip->codec), clip->width, clip->height,
              clip->groups.size(), pictures, settings->threads, settings->threads == 1 ? "" : "s",
              settings->repeat);
  std::printf(
      "| work | library pictures/s | ceiling pictures/s | library / ceiling | same in CPU time "
      "| faults/picture library / ceiling |\n");
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  for (const Row& row : rows) {
    const ceiling::RowFigures& f = row.figures;
    std::printf("| %s | %.1f | %.1f | %.3f%s | %.3f | %.1f / %.1f |\n", row.name.c_str(),
                f.library.rate, f.ceiling.rate, f.ratio, f.noisy ? "*" : "",
                f.library.cpu_rate / f.ceiling.cpu_rate, f.library.faults_per_unit,
                f.ceiling.faults_per_unit);
  }
  std::printf("\n* = noisy: the passes' ratios spread by more than %.0f %%\n",
              (ceiling::NOISY_SPREAD - 1) * 100);
  if (settings->random_access > 0) {
    std::printf(
        "random-access: %zu decodes of single groups, each side alone; its ceiling column opens "
        "a fresh bare decoder per group\n",
        settings->random_access);
  }
  return 0;
}

}  // namespace vantle::tool
