// bench: pictures per second of the library's exports on a file, against the
// bare libavcodec loop doing the same work (the ceiling).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

#include "bare_ceiling.h"
#include "command_support.h"
#include "commands.h"
#include "progress.h"
#include "runtime_calls.h"

namespace vantle::tool {

namespace {

constexpr OptionSpec kOptions[] = {
    kThreadsOption,
    {"--repeat", nullptr, ValueKind::Required, "R",
     "timed passes over the file per side and work, median reported (default 3)"},
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

struct Work {
  BenchWork kind;
  const char* name;
};

constexpr Work kWorks[] = {
    {BenchWork::Yuv420, "yuv420"},          {BenchWork::Rgb, "rgb"},
    {BenchWork::RgbResized, "rgb-resized"}, {BenchWork::Indexed, "indexed"},
    {BenchWork::Transcode, "transcode"},
};

using Clock = std::chrono::steady_clock;

// CPU seconds of the whole process, every thread: on a machine shared with
// other work this moves far less than the wall clock.
double process_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Elapsed {
  double wall = 0;
  double cpu = 0;
};

class Stopwatch {
 public:
  Stopwatch() : wall_(Clock::now()), cpu_(process_cpu_seconds()) {}
  Elapsed elapsed() const {
    return {std::chrono::duration<double>(Clock::now() - wall_).count(),
            process_cpu_seconds() - cpu_};
  }

 private:
  Clock::time_point wall_;
  double cpu_;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// One library call on one group; answers the pictures it returned.
std::expected<std::size_t, std::string> library_call(const Clip& clip, const Group& group,
                                                     BenchWork work, std::uint32_t width,
                                                     std::uint32_t height,
                                                     std::vector<std::size_t>& positions) {
  std::vector<RuntimePacket> packets;
  RuntimeDecodeRequest request = clip.request(group, packets);
  switch (work) {
    case BenchWork::Yuv420:
    case BenchWork::Rgb:
    case BenchWork::RgbResized: {
      request.pixel_format =
          work == BenchWork::Yuv420 ? RuntimePixelFormat::Yuv420 : RuntimePixelFormat::Rgb;
      if (work == BenchWork::RgbResized) {
        request.output_width = width;
        request.output_height = height;
      }
      auto frames = decode(request);
      if (!frames) {
        return std::unexpected(frames.error());
      }
      return frames->items().size();
    }
    case BenchWork::Indexed: {
      request.pixel_format = RuntimePixelFormat::Yuv420;
      auto frames = decode_indexed(request);
      if (!frames) {
        return std::unexpected(frames.error());
      }
      return frames->items().size();
    }
    case BenchWork::Transcode: {
      positions.clear();
      for (std::size_t i = 0; i < group.count; ++i) {
        positions.push_back(i);
      }
      RuntimeTranscodeRequest transcode{};
      transcode.decode = request;
      transcode.decode.selected_positions = positions.data();
      transcode.decode.selected_position_count = positions.size();
      transcode.frame_rate_num = 25;
      transcode.frame_rate_den = 1;
      auto units = transcode_h264(transcode);
      if (!units) {
        return std::unexpected(units.error());
      }
      return units->items().size();
    }
  }
  return 0;
}

struct Figures {
  double library = 0;  // pictures per second
  double ceiling = 0;
  double library_cpu = 0;  // pictures per CPU second
  double ceiling_cpu = 0;
  std::size_t pictures = 0;  // per pass over the file
};

// Pictures per second from the medians of the passes' times.
void set_rates(Figures& figures, const std::vector<Elapsed>& library,
               const std::vector<Elapsed>& ceiling) {
  auto rate = [&](const std::vector<Elapsed>& passes, double Elapsed::*field) {
    std::vector<double> times;
    for (const Elapsed& pass : passes) {
      times.push_back(pass.*field);
    }
    return static_cast<double>(figures.pictures) / median(std::move(times));
  };
  figures.library = rate(library, &Elapsed::wall);
  figures.ceiling = rate(ceiling, &Elapsed::wall);
  figures.library_cpu = rate(library, &Elapsed::cpu);
  figures.ceiling_cpu = rate(ceiling, &Elapsed::cpu);
}

struct BenchSettings {
  int threads = 1;
  int repeat = 3;
  std::uint32_t width = 640;
  std::uint32_t height = 360;
  std::size_t random_access = 0;
  std::size_t transcode_groups = SIZE_MAX;
  bool tsv = false;
};

// Times whole passes over the file, library and ceiling alternating, after
// one untimed pass each that warms the memory.
std::expected<Figures, std::string> measure(const Clip& clip, BenchWork work,
                                            const BenchSettings& settings, BareCeiling& ceiling,
                                            Progress& progress) {
  std::vector<std::size_t> positions;
  const std::span<const Group> groups(clip.groups.data(),
                                      work == BenchWork::Transcode
                                          ? std::min(settings.transcode_groups, clip.groups.size())
                                          : clip.groups.size());
  auto library_pass = [&]() -> std::expected<std::size_t, std::string> {
    std::size_t pictures = 0;
    for (const Group& group : groups) {
      auto made = library_call(clip, group, work, settings.width, settings.height, positions);
      if (!made) {
        return made;
      }
      pictures += *made;
    }
    return pictures;
  };
  auto ceiling_pass = [&]() -> std::expected<std::size_t, std::string> {
    std::size_t pictures = 0;
    for (const Group& group : groups) {
      auto made = ceiling.run(clip, group, work, static_cast<int>(settings.width),
                              static_cast<int>(settings.height));
      if (!made) {
        return made;
      }
      pictures += *made;
    }
    return pictures;
  };
  std::vector<Elapsed> library_times;
  std::vector<Elapsed> ceiling_times;
  Figures figures;
  for (int pass = 0; pass <= settings.repeat; ++pass) {
    Stopwatch library_watch;
    auto made = library_pass();
    if (!made) {
      return std::unexpected(made.error());
    }
    const Elapsed library_time = library_watch.elapsed();
    Stopwatch ceiling_watch;
    auto bare = ceiling_pass();
    if (!bare) {
      return std::unexpected(bare.error());
    }
    const Elapsed ceiling_time = ceiling_watch.elapsed();
    if (pass > 0) {
      library_times.push_back(library_time);
      ceiling_times.push_back(ceiling_time);
    }
    figures.pictures = *made;
    progress.step();
  }
  set_rates(figures, library_times, ceiling_times);
  return figures;
}

// The group the random-access case decodes at call i: spread over the file.
std::size_t random_access_group(std::size_t call, std::size_t groups) {
  return (call * 37 + call / groups) % groups;
}

std::expected<Figures, std::string> measure_random_access(const Clip& clip,
                                                          const BenchSettings& settings) {
  std::vector<std::size_t> positions;
  Figures figures;
  Stopwatch library_watch;
  for (std::size_t i = 0; i < settings.random_access; ++i) {
    const Group& group = clip.groups[random_access_group(i, clip.groups.size())];
    auto made = library_call(clip, group, BenchWork::Yuv420, 0, 0, positions);
    if (!made) {
      return std::unexpected(made.error());
    }
    figures.pictures += *made;
  }
  const Elapsed library_time = library_watch.elapsed();
  Stopwatch ceiling_watch;
  for (std::size_t i = 0; i < settings.random_access; ++i) {
    const Group& group = clip.groups[random_access_group(i, clip.groups.size())];
    auto fresh = BareCeiling::open(clip, settings.threads);
    if (!fresh) {
      return std::unexpected(fresh.error());
    }
    if (auto made = fresh->run(clip, group, BenchWork::Yuv420, 0, 0); !made) {
      return std::unexpected(made.error());
    }
  }
  set_rates(figures, {library_time}, {ceiling_watch.elapsed()});
  return figures;
}

std::expected<BenchSettings, std::string> bench_settings(const ParsedOptions& options) {
  BenchSettings settings;
  if (auto text = options.value("--threads")) {
    auto threads = parse_unsigned("--threads", *text);
    if (!threads || *threads > 256) {
      return std::unexpected("--threads: expected 0 to 256, got '" + *text + "'");
    }
    settings.threads = static_cast<int>(*threads);
  } else if (const char* variable = std::getenv("VANTLE_VIDEO_FFMPEG_THREADS")) {
    settings.threads = std::atoi(variable);
  }
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
    std::tie(settings.width, settings.height) = *size;
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

}  // namespace

const CommandSpec kBenchSpec{
    "bench",
    "[FILE] [--threads N] [--repeat R] [--transcode-groups N] [--size WxH] [--random-access N]\n"
    "       [--tsv]",
    "Measures pictures per second of the library on every group of FILE (the built-in example\n"
    "without FILE): decode to YUV 4:2:0, to RGB at the decoded size, to RGB at --size, the\n"
    "indexed decode (H.264 and H.265) and the transcode of each whole group. Each is set\n"
    "against the same work done by a bare libavcodec loop with warm memory (one decoder and\n"
    "one scaler for the run, output buffers recycled), the ceiling, and printed as a Markdown\n"
    "table with the ratio library / ceiling. The machine should be otherwise idle.",
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
  // The library reads the thread count from the variable; the ceiling uses the same.
  setenv("VANTLE_VIDEO_FFMPEG_THREADS", std::to_string(settings->threads).c_str(), 1);
  auto ceiling = BareCeiling::open(*clip, settings->threads);
  if (!ceiling) {
    return report_error("bench", ceiling.error());
  }
  std::vector<std::pair<std::string, Figures>> rows;
  {
    Progress progress("bench", std::size(kWorks) * static_cast<std::size_t>(settings->repeat + 1));
    for (const Work& work : kWorks) {
      if (work.kind == BenchWork::Indexed && clip->codec == RuntimeCodec::Av1) {
        continue;  // the indexed decode takes H.264 and H.265 only
      }
      auto figures = measure(*clip, work.kind, *settings, *ceiling, progress);
      if (!figures) {
        return report_error("bench", figures.error());
      }
      std::string name = work.name;
      if (work.kind == BenchWork::RgbResized) {
        name = "rgb-" + std::to_string(settings->width) + "x" + std::to_string(settings->height);
      }
      rows.emplace_back(name, *figures);
    }
  }
  if (settings->random_access > 0) {
    auto figures = measure_random_access(*clip, *settings);
    if (!figures) {
      return report_error("bench", figures.error());
    }
    rows.emplace_back("random-access", *figures);
  }

  if (settings->tsv) {
    for (const auto& [name, figures] : rows) {
      std::printf("%s\t%.2f\t%.2f\t%.2f\t%.2f\t%zu\n", name.c_str(), figures.library,
                  figures.ceiling, figures.library_cpu, figures.ceiling_cpu, figures.pictures);
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
      "|\n");
  std::printf("|---|---:|---:|---:|---:|\n");
  for (const auto& [name, figures] : rows) {
    std::printf("| %s | %.1f | %.1f | %.3f | %.3f |\n", name.c_str(), figures.library,
                figures.ceiling, figures.library / figures.ceiling,
                figures.library_cpu / figures.ceiling_cpu);
  }
  if (settings->random_access > 0) {
    std::printf(
        "\nrandom-access: %zu decodes of single groups; its ceiling column opens a fresh "
        "bare decoder per group\n",
        settings->random_access);
  }
  return 0;
}

}  // namespace vantle::tool
