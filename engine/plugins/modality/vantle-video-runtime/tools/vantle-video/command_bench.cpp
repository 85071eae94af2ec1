// bench: the benchmark program. Every row sets library calls (through the C
// interface) against the bare loop (bench/) in the same process, in
// interleaved rounds: on groups it encodes itself, or on FILE's groups.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>

#include "bench.h"
#include "command_support.h"
#include "commands.h"
#include "container_reader.h"

extern "C" {
#include <libavutil/macros.h>
}

namespace vantle::tool {

namespace {

using bench::Job;
using bench::Mode;
using bench::RowFigures;
using bench::Source;
using bench::Work;

constexpr OptionSpec kOptions[] = {
    {"--threads", nullptr, ValueKind::Required, "L", "codec threads of each pass (default 1,2)"},
    {"--mode", nullptr, ValueKind::Required, "M", "host, quiet or both (default)"},
    {"--seconds", nullptr, ValueKind::Required, "S", "time per row and mode (default 2)"},
    {"--repeat", nullptr, ValueKind::Required, "R", "exactly R rounds per row and mode"},
    {"--quick", nullptr, ValueKind::None, "", "0.3 s and 3 rounds a row, one memory round"},
    {"--only", nullptr, ValueKind::Required, "TEXT", "only rows whose name contains TEXT"},
    {"--no-extras", nullptr, ValueKind::None, "", "no transcode, decoder-pool or memory rows"},
    {"--host-threads", nullptr, ValueKind::Required, "L", "memory rows (default 1,2,8,16)"},
    {"--transcode-groups", nullptr, ValueKind::Required, "N", "first N groups of FILE only"},
    {"--random-access", nullptr, ValueKind::Required, "N", "N single groups across FILE"},
    {"--tsv", nullptr, ValueKind::None, "", "tab-separated figures instead of tables"},
    {"--memory-child", nullptr, ValueKind::Required, "SPEC", "(started by the memory rows)"},
    kHelpOption,
};

constexpr double GOAL = 0.95;

struct Settings {
  // Every number option, as a list.
  std::map<std::string, std::vector<int>> numbers = {{"--threads", {1, 2}},
                                                     {"--host-threads", {1, 2, 8, 16}},
                                                     {"--repeat", {0}},
                                                     {"--transcode-groups", {1 << 30}},
                                                     {"--random-access", {0}}};
  bool host = true;
  bool quiet = true;
  double seconds = 2;
  int min_rounds = 7;
  std::string only;

  int number(const char* name) const { return numbers.at(name).front(); }
};

std::expected<Settings, std::string> bench_settings(const ParsedOptions& options) {
  Settings s;
  for (auto& [name, list] : s.numbers) {
    const auto text = options.value(name);
    for (std::size_t at = 0; text && at <= text->size();) {
      const std::size_t end = std::min(text->find(',', at), text->size());
      auto value = parse_unsigned(name, text->substr(at, end - at));
      if (!value || *value > 100000) {
        return std::unexpected(name + ": expected whole numbers separated by commas, got '" +
                               *text + "'");
      }
      list.resize(at == 0 ? 0 : list.size());
      list.push_back(static_cast<int>(*value));
      at = end + 1;
    }
  }
  s.min_rounds = s.number("--repeat") > 0 ? s.number("--repeat") : s.min_rounds;
  s.seconds = std::atof(options.value("--seconds").value_or("2").c_str());
  if (options.has("--quick")) {
    s.seconds = 0.3;
    s.min_rounds = 3;
  }
  const std::string mode = options.value("--mode").value_or("both");
  if (mode != "host" && mode != "quiet" && mode != "both") {
    return std::unexpected("--mode: expected host, quiet or both, got '" + mode + "'");
  }
  s.host = mode != "quiet";
  s.quiet = mode != "host";
  s.only = options.value("--only").value_or("");
  return s;
}

struct Row {
  std::string name;
  const Source* source;
  Job job;
  std::size_t steps = 1;   // calls per side in a host-mode round
  bool fresh = false;      // the bare loop opens a decoder for every call
  bool scattered = false;  // step i decodes a group picked across the source
  bool slow = false;       // host mode only, at most 3 rounds (the transcodes)
};

std::expected<RowFigures, std::string> measure(const Row& row, int threads, Mode mode,
                                               const Settings& s) {
  const Source& source = *row.source;
  auto kept = bench::Ceiling::open(source.codec, source.extradata, threads);
  if (!kept) {
    return std::unexpected(kept.error());
  }
  auto group = [&](std::size_t step) {
    const std::size_t groups = source.groups.size();
    return row.scattered ? (step * 37 + step / groups) % groups : step % groups;
  };
  bench::RowPlan plan;
  plan.mode = mode;
  // Quiet mode makes at least 4 calls per side back to back.
  plan.steps = mode == Mode::Quiet ? std::max<std::size_t>(row.steps, 4) : row.steps;
  plan.seconds = s.seconds;
  plan.min_rounds = row.slow ? std::min(s.min_rounds, 3) : s.min_rounds;
  plan.max_rounds = s.number("--repeat") > 0 ? plan.min_rounds : 400;
  plan.packets = [&](std::size_t step) { return std::span(source.groups[group(step)]); };
  plan.library = [&](std::size_t step) {
    return bench::library_call(source, group(step), row.job);
  };
  plan.ceiling = [&](std::size_t step) -> std::expected<std::size_t, std::string> {
    auto fresh = row.fresh ? bench::Ceiling::open(source.codec, source.extradata, threads)
                           : std::unexpected(std::string());
    if (row.fresh && !fresh) {
      return std::unexpected(fresh.error());
    }
    return (row.fresh ? *fresh : *kept).run(source.groups[group(step)], row.job);
  };
  return bench::measure_row(plan);
}

std::string figures_text(const std::expected<RowFigures, std::string>& f, bool quiet) {
  char text[320];
  if (!f) {
    return f.error().empty() ? (quiet ? " | " : " | | | | | ") : "FAILED: " + f.error();
  }
  std::snprintf(text, sizeof text, "%.3f%s | %.1f / %.1f", f->ratio, f->noisy ? "*" : "",
                f->library.faults_per_unit, f->ceiling.faults_per_unit);
  if (!quiet) {
    std::snprintf(text, sizeof text, "%.1f | %.1f | %.3f%s | %.2f–%.2f | %.3f | %.1f / %.1f",
                  f->library.rate, f->ceiling.rate, f->ratio, f->noisy ? "*" : "", f->ratio_p25,
                  f->ratio_p75, f->cpu_ratio, f->library.faults_per_unit,
                  f->ceiling.faults_per_unit);
  }
  return text;
}

// Measures and prints the rows as one table; answers how many host-mode rows
// fall below GOAL.
int print_table(const std::vector<Row>& rows, int threads, const Settings& s, bool tsv) {
  if (!tsv) {
    std::printf(
        "\n%d codec thread%s\n\n| row | library pictures/s | bare loop pictures/s | library ÷ "
        "bare loop | spread (p25–p75) | CPU time: library ÷ bare loop | faults/picture library / "
        "bare loop | quiet: library ÷ bare loop | quiet: faults/picture library / bare loop |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n",
        threads, threads == 1 ? "" : "s");
  }
  int below = 0;
  std::pair<double, std::string> lowest = {10, ""};
  for (const Row& row : rows) {
    std::fprintf(stderr, "measuring %s ...\n", row.name.c_str());
    std::expected<RowFigures, std::string> host = std::unexpected(row.source->error), quiet = host;
    if (s.host && row.source->error.empty()) {
      host = measure(row, threads, Mode::Host, s);
    }
    if (s.quiet && !row.slow && row.source->error.empty()) {
      quiet = measure(row, threads, Mode::Quiet, s);
    }
    const auto& f = host ? host : quiet;
    if (tsv && f) {
      std::printf("%s\t%.2f\t%.2f\t%.2f\t%.2f\t%zu\n", row.name.c_str(), f->library.rate,
                  f->ceiling.rate, f->library.cpu_rate, f->ceiling.cpu_rate, f->units);
    } else if (!tsv) {
      std::printf("| %s | %s | %s |\n", row.name.c_str(), figures_text(host, false).c_str(),
                  figures_text(quiet, true).c_str());
    }
    std::fflush(stdout);
    below += host && host->ratio < GOAL ? 1 : 0;
    lowest = host ? std::min(lowest, std::pair{host->ratio, row.name}) : lowest;
  }
  if (!tsv && !lowest.second.empty()) {
    std::printf("\nhost mode: %d row%s below %.2f; lowest %.3f (%s)\n", below,
                below == 1 ? "" : "s", GOAL, lowest.first, lowest.second.c_str());
  }
  return below;
}

const char* environment(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : otherwise;
}

}  // namespace

const CommandSpec kBenchSpec{
    "bench",
    "[FILE] [--threads L] [--mode M] [--seconds S | --repeat R] [--quick] [--only TEXT]\n"
    "       [--no-extras] [--host-threads L] [--transcode-groups N]\n"
    "       [--random-access N] [--tsv]",
    "Sets the library's calls against the bare loop, the host's own libavcodec + libswscale loop\n"
    "in the same process (one decoder flushed before each group, one scaler, buffers recycled),\n"
    "in interleaved rounds; in host mode the host demuxes between calls, in quiet mode each\n"
    "side's calls run back to back. Rows: RGB at the picture's size and at 640x360, YUV 4:2:0,\n"
    "indexed, transcode, the decoder pool (or --random-access) against a fresh decoder per call,\n"
    "and the memory rows. Without FILE, on groups it encodes (H.264, H.265, AV1; 360p to 1080p).",
    kOptions};

int run_bench(const ParsedOptions& options) {
  if (auto spec = options.value("--memory-child")) {
    return bench::memory_child(*spec);
  }
  auto settings = bench_settings(options);
  if (!settings) {
    return report_error("bench", settings.error());
  }
  const Settings& s = *settings;
  const bool extras = !options.has("--no-extras");
  const bool tsv = options.has("--tsv");
  auto selected = [&](const std::string& name) {
    return s.only.empty() || name.find(s.only) != std::string::npos;
  };
  std::map<std::pair<RuntimeCodec, int>, Source> sources;  // (codec, height; 0 for FILE)
  std::vector<Row> rows;
  // The rows of a source: every output, and the transcode over `transcode_steps`.
  auto add = [&](const std::string& prefix, Source& source, std::size_t steps,
                 std::size_t transcode_steps) {
    for (const auto& [name, job] : {std::pair<std::string, Job>{"rgb", {Work::Rgb}},
                                    {"rgb-640x360", {Work::Rgb, 640, 360}},
                                    {"yuv420", {Work::Yuv420}},
                                    {"indexed", {Work::Indexed}}}) {
      if (job.work != Work::Indexed || source.codec != RuntimeCodec::Av1) {
        rows.push_back({prefix + name, &source, job, steps});
      }
    }
    if (transcode_steps > 0 && extras) {
      rows.push_back({.name = prefix + "transcode",
                      .source = &source,
                      .job = {Work::Transcode},
                      .steps = transcode_steps,
                      .slow = true});
    }
  };
  if (options.positional().size() > 1) {
    return report_error("bench", "one FILE at most");
  }
  std::string heading = "groups of 12 pictures it encodes itself";
  if (!options.positional().empty()) {
    auto clip = read_container(options.positional().front());
    if (!clip) {
      return report_error("bench", clip.error());
    }
    Source& file = sources[{clip->codec, 0}];
    file.codec = clip->codec;
    file.extradata = clip->extradata;
    for (const Group& group : clip->groups) {
      clip->request(group, file.groups.emplace_back());
    }
    // Moved, the bytes stay where the packets point.
    for (AccessUnit& unit : clip->access_units) {
      file.bytes.push_back(std::move(unit.bytes));
    }
    const std::size_t groups = file.groups.size();
    add("", file, groups, std::min<std::size_t>(s.number("--transcode-groups"), groups));
    if (const auto random = static_cast<std::size_t>(s.number("--random-access")); random > 0) {
      rows.push_back({.name = "random-access",
                      .source = &file,
                      .job = {Work::Yuv420},
                      .steps = random,
                      .fresh = true,
                      .scattered = true});
    }
    heading = clip->source + ", " + codec_label(clip->codec) + " " + std::to_string(clip->width) +
              "x" + std::to_string(clip->height) + ", " + std::to_string(groups) + " groups";
  } else {
    for (const RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
      for (const int height : {360, 720, 1080}) {
        const std::string prefix = std::string(codec_label(codec)) + " " +
                                   std::to_string(height * 16 / 9) + "x" + std::to_string(height);
        Source& source = sources[{codec, height}];
        source.codec = codec;
        add(prefix + " ", source, 1, codec == RuntimeCodec::H264 && height != 720);
        if (codec == RuntimeCodec::H264 && height == 360 && extras) {
          rows.push_back({.name = prefix + " indexed, pooled decoder against a fresh one per call",
                          .source = &source,
                          .job = {Work::Indexed},
                          .fresh = true});
        }
      }
    }
    std::erase_if(rows, [&](const Row& row) { return !selected(row.name); });
    // Encoded on a thread of its own, so that the encoders' heap stays out of
    // the arena the rows run in; only what a selected row decodes.
    std::thread([&] {
      for (auto& [key, source] : sources) {
        if (std::ranges::any_of(rows, [&](const Row& row) { return row.source == &source; })) {
          source = bench::make_source(key.first, key.second);
        }
      }
    }).join();
  }
  std::erase_if(rows, [&](const Row& row) { return !selected(row.name); });
  if (!tsv) {
    std::printf(
        "# allocator: %s (LD_PRELOAD=%s GLIBC_TUNABLES=%s); FFmpeg libavcodec %s\n# ratio = median "
        "over interleaved rounds of bare-loop time / library time (* = noisy: p75/p25 above %.2f);"
        "\n# faults = minor page faults of the process per picture, during each side's calls\n",
        environment("VANTLE_BENCH_ALLOCATOR", "as the process has it"),
        environment("LD_PRELOAD", ""), environment("GLIBC_TUNABLES", ""),
        AV_STRINGIFY(LIBAVCODEC_VERSION), bench::NOISY_SPREAD);
    std::printf("# on %s\n", heading.c_str());
  }
  int below = 0;
  for (const int threads : s.numbers.at("--threads")) {
    setenv("VANTLE_VIDEO_FFMPEG_THREADS", std::to_string(threads).c_str(), 1);
    below += rows.empty() ? 0 : print_table(rows, threads, s, tsv);
  }
  if (options.positional().empty() && extras && !tsv && selected("memory")) {
    bench::print_memory_rows(s.numbers.at("--host-threads"),
                             options.has("--quick") ? 1 : std::max(s.min_rounds, 5));
  }
  return below == 0 ? 0 : 3;
}

}  // namespace vantle::tool
