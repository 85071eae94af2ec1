// bench: the benchmark program (doc/benchmarks.md). Every row sets library
// calls through the C interface against the bare loop (bench/) in the same
// process, in interleaved rounds, on groups it encodes itself or on FILE's.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <tuple>

#include "bench.h"
#include "command_support.h"
#include "commands.h"
#include "file_clip.h"
#include "runtime/codec_label.h"

extern "C" {
#include <libavutil/macros.h>
}

namespace vantle::tool {

namespace {

using namespace vantle::bench;

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

struct Settings {
  // The number options, each a list.
  std::map<std::string, std::vector<int>> numbers = {{"--threads", {1, 2}},
                                                     {"--host-threads", {1, 2, 8, 16}},
                                                     {"--repeat", {0}},
                                                     {"--transcode-groups", {1 << 30}},
                                                     {"--random-access", {0}}};
  bool modes[2] = {true, true};  // host, quiet
  double seconds = 2;
  int rounds = 7;  // at least
  std::string only;
  bool extras = true;
  bool tsv = false;

  int number(const char* name) const { return numbers.at(name).front(); }
  bool selected(const std::string& name) const { return name.find(only) != std::string::npos; }
};

// Measures and prints the rows as one table; answers how many host-mode rows are below 0.95.
int print_table(const std::vector<Row>& rows, int threads, const Settings& s) {
  if (!s.tsv) {
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
    std::string cells[2] = {" | | | | | ", " | "};  // host, quiet
    Result<RowFigures> f[2];
    for (int quiet = 0; quiet < 2; ++quiet) {
      f[quiet] = vantle::fail(row.source->error);
      if (s.modes[quiet] && !(quiet && row.slow) && row.source->error.empty()) {
        const int rounds = row.slow ? std::min(s.rounds, 3) : s.rounds;
        f[quiet] = measure_row(row, threads, quiet ? Mode::Quiet : Mode::Host, s.seconds, rounds,
                               s.number("--repeat") > 0 ? rounds : 400);
      }
      char text[320];
      if (const auto& m = f[quiet]; m && quiet) {
        std::snprintf(text, sizeof text, "%.3f%s | %.1f / %.1f", m->ratio, m->noisy ? "*" : "",
                      m->library.faults_per_unit, m->ceiling.faults_per_unit);
        cells[quiet] = text;
      } else if (m) {
        std::snprintf(text, sizeof text, "%.1f | %.1f | %.3f%s | %.2f–%.2f | %.3f | %.1f / %.1f",
                      m->library.rate, m->ceiling.rate, m->ratio, m->noisy ? "*" : "", m->ratio_p25,
                      m->ratio_p75, m->cpu_ratio, m->library.faults_per_unit,
                      m->ceiling.faults_per_unit);
        cells[quiet] = text;
      } else if (!m.error().empty()) {
        cells[quiet] = "FAILED: " + f[quiet].error();
      }
    }
    const auto& shown = f[0] ? f[0] : f[1];
    if (s.tsv && shown) {
      std::printf("%s\t%.2f\t%.2f\t%.2f\t%.2f\t%zu\n", row.name.c_str(), shown->library.rate,
                  shown->ceiling.rate, shown->library.cpu_rate, shown->ceiling.cpu_rate,
                  shown->units);
    } else if (!s.tsv) {
      std::printf("| %s | %s | %s |\n", row.name.c_str(), cells[0].c_str(), cells[1].c_str());
    }
    std::fflush(stdout);
    below += f[0] && f[0]->ratio < row.target ? 1 : 0;
    lowest = f[0] ? std::min(lowest, std::pair{f[0]->ratio, row.name}) : lowest;
  }
  if (!s.tsv && !lowest.second.empty()) {
    std::printf("\nhost mode: %d row%s below target (0.95; turned rows 0.85); lowest %.3f (%s)\n",
                below, below == 1 ? "" : "s", lowest.first, lowest.second.c_str());
  }
  return below;
}

Result<Settings> bench_settings(const ParsedOptions& options) {
  Settings s;
  for (auto& [name, list] : s.numbers) {
    if (const auto text = options.value(name)) {
      const auto values = parse_positions(*text);
      if (!values || std::ranges::any_of(*values, [](std::size_t v) { return v > 100000; })) {
        return vantle::fail(name + ": expected whole numbers separated by commas, got '" + *text +
                            "'");
      }
      list.assign(values->begin(), values->end());
    }
  }
  const bool quick = options.has("--quick");
  s.rounds = quick ? 3 : s.number("--repeat") > 0 ? s.number("--repeat") : s.rounds;
  s.seconds = quick ? 0.3 : std::atof(options.value("--seconds").value_or("2").c_str());
  const std::string mode = options.value("--mode").value_or("both");
  if (mode != "host" && mode != "quiet" && mode != "both") {
    return vantle::fail("--mode: expected host, quiet or both, got '" + mode + "'");
  }
  s.modes[0] = mode != "quiet";
  s.modes[1] = mode != "host";
  s.only = options.value("--only").value_or("");
  s.extras = !options.has("--no-extras");
  s.tsv = options.has("--tsv");
  return s;
}

int run_bench(const ParsedOptions& options) {
  if (auto spec = options.value("--memory-child")) {
    return memory_child(*spec);
  }
  auto settings = bench_settings(options);
  if (!settings || options.positional().size() > 1) {
    return report_error("bench", settings ? "one FILE at most" : settings.error());
  }
  const Settings& s = *settings;
  std::map<std::tuple<RuntimeCodec, int, int>, Source> sources;  // codec, height (0: FILE), bits
  std::vector<Row> rows;
  auto add_row = [&](std::string name, Source& source, Job job, std::size_t steps) -> Row& {
    return rows.emplace_back(Row{std::move(name), &source, job, steps});
  };
  // The rows of a source: every output, and the transcode over `transcode_steps`.
  auto add = [&](const std::string& prefix, Source& source, std::size_t steps,
                 std::size_t transcode_steps) {
    for (const auto& [name, job] : {std::pair<std::string, Job>{"rgb", {Work::Rgb}},
                                    {"rgb-640x360", {Work::Rgb, 640, 360}},
                                    {"yuv420", {Work::Yuv420}},
                                    {"indexed", {Work::Indexed}}}) {
      if (job.work != Work::Indexed || source.codec == RuntimeCodec::H264 ||
          source.codec == RuntimeCodec::H265) {
        add_row(prefix + name, source, job, steps);
      }
    }
    if (transcode_steps > 0 && s.extras) {
      add_row(prefix + "transcode", source, {Work::Transcode}, transcode_steps).slow = true;
    }
  };
  std::string heading = "groups of 12 pictures it encodes itself";
  if (!options.positional().empty()) {
    auto clip = read_file_clip(options.positional().front());
    if (!clip) {
      return report_error("bench", clip.error());
    }
    Source& file = sources[{clip->codec, 0, 8}];
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
      Row& scattered = add_row("random-access", file, {Work::Yuv420}, random);
      scattered.fresh = scattered.scattered = true;
    }
    heading = clip->source + ", " + runtime::codec_label(clip->codec) + " " +
              std::to_string(clip->width) + "x" + std::to_string(clip->height) + ", " +
              std::to_string(groups) + " groups";
  } else {
    for (const RuntimeCodec codec :
         {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1, RuntimeCodec::Vp9}) {
      for (const int height : {180, 360, 720, 1080}) {
        // The smallest pictures take other paths (buffers below a page,
        // setup that weighs more beside a short conversion): H.264 alone
        // stands for them.
        if ((codec == RuntimeCodec::Vp9 && height != 1080) ||
            (codec != RuntimeCodec::H264 && height == 180)) {
          continue;
        }
        const std::string prefix = std::string(runtime::codec_label(codec)) + " " +
                                   std::to_string(height * 16 / 9) + "x" + std::to_string(height);
        Source& source = sources[{codec, height, 8}];
        source.codec = codec;
        add(prefix + " ", source, 1, codec == RuntimeCodec::H264 && (height == 360 || height == 1080));
        if (codec == RuntimeCodec::H264 && height == 360 && s.extras) {
          add_row(prefix + " indexed, pooled decoder against a fresh one per call", source,
                  {Work::Indexed}, 1)
              .fresh = true;
        }
      }
    }
    Source& deep = sources[{RuntimeCodec::H265, 1080, 10}];
    deep.codec = RuntimeCodec::H265;
    add_row("H.265 10-bit 1920x1080 rgb48", deep, {Work::Rgb48}, 1);
    // Library against library: the same groups turned upright and as stored.
    for (auto [name, source, work] :
         {std::tuple{"H.264 1920x1080 rgb", &sources[{RuntimeCodec::H264, 1080, 8}], Work::Rgb},
          std::tuple{"H.265 10-bit 1920x1080 rgb48", &deep, Work::Rgb48}}) {
      Row& turned =
          add_row(std::string(name) + " turned 90 ÷ unturned", *source, {work, 0, 0, 90}, 1);
      turned.unturned = true;
      turned.target = 0.85;
    }
  }
  std::erase_if(rows, [&](const Row& row) { return !s.selected(row.name); });
  // Encoded on a thread of its own, so that the encoders' heap stays out of
  // the arena the rows run in; only what a selected row decodes.
  std::thread([&] {
    for (auto& [key, source] : sources) {
      const Source* wanted = &source;
      const auto [codec, height, bits] = key;
      if (height != 0 &&
          std::ranges::any_of(rows, [wanted](const Row& r) { return r.source == wanted; })) {
        source = make_source(codec, height, 1, true, bits);
      }
    }
  }).join();
  auto environment = [](const char* name, const char* otherwise) {
    return std::getenv(name) != nullptr ? std::getenv(name) : otherwise;
  };
  if (!s.tsv) {
    std::printf(
        "# allocator: %s (LD_PRELOAD=%s GLIBC_TUNABLES=%s); FFmpeg libavcodec %s; on %s\n"
        "# ratio = bare-loop time / library time, median over interleaved rounds (* = "
        "p75/p25 above %.2f); faults: minor page faults per picture\n",
        environment("VANTLE_BENCH_ALLOCATOR", "as the process has it"),
        environment("LD_PRELOAD", ""), environment("GLIBC_TUNABLES", ""),
        AV_STRINGIFY(LIBAVCODEC_VERSION), heading.c_str(), NOISY_SPREAD);
  }
  int below = 0;
  for (const int threads : s.numbers.at("--threads")) {
    setenv("VANTLE_VIDEO_FFMPEG_THREADS", std::to_string(threads).c_str(), 1);
    below += rows.empty() ? 0 : print_table(rows, threads, s);
  }
  if (options.positional().empty() && s.extras && !s.tsv && s.selected("memory")) {
    print_memory_rows(s.numbers.at("--host-threads"),
                      options.has("--quick") ? 1 : std::max(s.rounds, 5));
  }
  return below == 0 ? 0 : 3;
}

}  // namespace

const Command kBench{
    {"bench",
     "[FILE] [--threads L] [--mode M] [--seconds S | --repeat R] [--quick] [--only TEXT]\n"
     "       [--no-extras] [--host-threads L] [--transcode-groups N] [--random-access N] [--tsv]",
     "Times the library's calls against the bare loop, the host's own libavcodec + libswscale\n"
     "loop, in interleaved rounds: RGB, RGB 640x360, YUV 4:2:0, indexed, transcode, the decoder\n"
     "pool and the memory rows (doc/benchmarks.md). Without FILE, on groups it encodes itself,\n"
     "with VP9 1080p, 10-bit H.265 as RGB48, and turned pictures against unturned ones.",
     kOptions},
    run_bench};

}  // namespace vantle::tool
