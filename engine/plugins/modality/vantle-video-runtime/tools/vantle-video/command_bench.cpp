// bench: the benchmark program. Every row sets library calls (through the C
// interface) against the bare loop (bench/), in the same process, in
// interleaved rounds. Without FILE it runs the whole suite on groups it
// encodes itself; with FILE, the same rows on the file's groups.
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
    {"--threads", nullptr, ValueKind::Required, "L",
     "codec threads of each pass, a list (VANTLE_VIDEO_FFMPEG_THREADS for the library, the same "
     "for the bare loop; default 1,2)"},
    {"--mode", nullptr, ValueKind::Required, "M",
     "host (each call alternating with the bare loop's, the host demuxing between calls), quiet "
     "(each side's calls back to back) or both (default)"},
    {"--seconds", nullptr, ValueKind::Required, "S",
     "measuring time per row and mode (default 2; at least 7 rounds)"},
    {"--repeat", nullptr, ValueKind::Required, "R", "exactly R timed rounds per row and mode"},
    {"--quick", nullptr, ValueKind::None, "",
     "0.3 s and 3 rounds a row, one memory round: a check that everything runs"},
    {"--only", nullptr, ValueKind::Required, "TEXT",
     "only rows whose name contains TEXT, e.g. 'H.264 1920x1080' or 'memory'"},
    {"--no-extras", nullptr, ValueKind::None, "",
     "leave out the transcode, decoder-pool and memory rows"},
    {"--host-threads", nullptr, ValueKind::Required, "L",
     "host threads of the memory rows (default 1,2,8,16)"},
    {"--size", nullptr, ValueKind::Required, "WxH",
     "size of the resized RGB rows (default 640x360)"},
    {"--transcode-groups", nullptr, ValueKind::Required, "N",
     "transcode only the first N groups of FILE per round (default: all)"},
    {"--random-access", nullptr, ValueKind::Required, "N",
     "also N decodes of single groups picked across FILE, against a fresh bare decoder per group"},
    {"--tsv", nullptr, ValueKind::None, "",
     "tab-separated lines instead of tables: row, library and bare-loop pictures per second, the "
     "same per CPU second, pictures per round"},
    {"--memory-child", nullptr, ValueKind::Required, "SPEC",
     "one process of the memory rows (the program starts them itself)"},
    kHelpOption,
};

constexpr double GOAL = 0.95;

const char* environment(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : otherwise;
}

struct Settings {
  std::vector<int> threads = {1, 2};
  std::vector<int> host_threads = {1, 2, 8, 16};
  bool host = true;
  bool quiet = true;
  double seconds = 2;
  int min_rounds = 7;
  int max_rounds = 400;
  std::string only;
  bool extras = true;
  int width = 640;
  int height = 360;
  std::size_t transcode_groups = SIZE_MAX;
  std::size_t random_access = 0;
  bool tsv = false;
};

std::expected<std::vector<int>, std::string> parse_list(const std::string& option,
                                                        const std::string& text) {
  std::vector<int> values;
  for (std::size_t at = 0; at <= text.size();) {
    const std::size_t end = std::min(text.find(',', at), text.size());
    auto value = parse_unsigned(option, text.substr(at, end - at));
    if (!value || *value > 256) {
      return std::unexpected(option + ": expected numbers up to 256 separated by commas, got '" +
                             text + "'");
    }
    values.push_back(static_cast<int>(*value));
    at = end + 1;
  }
  return values;
}

std::expected<Settings, std::string> bench_settings(const ParsedOptions& options) {
  Settings s;
  auto number = [&](const char* name, auto& out) -> std::expected<void, std::string> {
    if (auto text = options.value(name)) {
      auto value = parse_unsigned(name, *text);
      if (!value) {
        return std::unexpected(value.error());
      }
      out = static_cast<std::remove_reference_t<decltype(out)>>(*value);
    }
    return {};
  };
  for (auto [name, list] :
       {std::pair{"--threads", &s.threads}, {"--host-threads", &s.host_threads}}) {
    if (auto text = options.value(name)) {
      auto parsed = parse_list(name, *text);
      if (!parsed) {
        return std::unexpected(parsed.error());
      }
      *list = *parsed;
    }
  }
  if (auto done = number("--repeat", s.max_rounds); !done) {
    return std::unexpected(done.error());
  }
  if (auto done = number("--transcode-groups", s.transcode_groups); !done) {
    return std::unexpected(done.error());
  }
  if (auto done = number("--random-access", s.random_access); !done) {
    return std::unexpected(done.error());
  }
  if (options.has("--repeat")) {
    s.min_rounds = s.max_rounds = std::max(s.max_rounds, 1);
  }
  if (auto text = options.value("--seconds")) {
    s.seconds = std::atof(text->c_str());
  }
  if (options.has("--quick")) {
    s.seconds = 0.3;
    s.min_rounds = 3;
  }
  if (auto mode = options.value("--mode")) {
    if (*mode != "host" && *mode != "quiet" && *mode != "both") {
      return std::unexpected("--mode: expected host, quiet or both, got '" + *mode + "'");
    }
    s.host = *mode != "quiet";
    s.quiet = *mode != "host";
  }
  if (auto text = options.value("--size")) {
    auto size = parse_size(*text);
    if (!size) {
      return std::unexpected(size.error());
    }
    s.width = static_cast<int>(size->first);
    s.height = static_cast<int>(size->second);
  }
  s.only = options.value("--only").value_or("");
  s.extras = !options.has("--no-extras");
  s.tsv = options.has("--tsv");
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
                                               const Settings& settings) {
  const Source& source = *row.source;
  auto kept = bench::Ceiling::open(source.codec, source.extradata, threads);
  if (!kept) {
    return std::unexpected(kept.error());
  }
  auto group_of = [&](std::size_t step) {
    const std::size_t groups = source.groups.size();
    return row.scattered ? (step * 37 + step / groups) % groups : step % groups;
  };
  bench::RowPlan plan;
  plan.mode = mode;
  // Quiet mode makes at least 4 calls per side back to back.
  plan.steps = mode == Mode::Quiet ? std::max<std::size_t>(row.steps, 4) : row.steps;
  plan.seconds = settings.seconds;
  plan.min_rounds = row.slow ? std::min(settings.min_rounds, 3) : settings.min_rounds;
  plan.max_rounds = settings.max_rounds;
  plan.packets = [&](std::size_t step) { return std::span(source.groups[group_of(step)]); };
  plan.library = [&](std::size_t step) {
    return bench::library_call(source, group_of(step), row.job);
  };
  plan.ceiling = [&](std::size_t step) -> std::expected<std::size_t, std::string> {
    if (!row.fresh) {
      return kept->run(source.groups[group_of(step)], row.job);
    }
    auto fresh = bench::Ceiling::open(source.codec, source.extradata, threads);
    if (!fresh) {
      return std::unexpected(fresh.error());
    }
    return fresh->run(source.groups[group_of(step)], row.job);
  };
  return bench::measure_row(plan);
}

// Measures and prints one table; answers how many host-mode rows fall below GOAL.
int print_table(const std::string& title, const std::vector<Row>& rows, int threads,
                const Settings& settings) {
  if (!settings.tsv) {
    std::printf("\n%s, %d codec thread%s\n\n", title.c_str(), threads, threads == 1 ? "" : "s");
    std::printf(
        "| row | library pictures/s | bare loop pictures/s | library ÷ bare loop | spread "
        "(p25–p75) "
        "| CPU time: library ÷ bare loop | faults/picture library | faults/picture bare loop | "
        "quiet: library ÷ bare loop | quiet: faults/picture library / bare loop |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  }
  int below = 0;
  double lowest = 10;
  std::string lowest_row;
  for (const Row& row : rows) {
    if (!row.source->error.empty()) {
      std::printf("| %s | skipped: %s |\n", row.name.c_str(), row.source->error.c_str());
      continue;
    }
    std::fprintf(stderr, "measuring %s ...\n", row.name.c_str());
    std::expected<RowFigures, std::string> host = std::unexpected(""), quiet = host;
    if (settings.host) {
      host = measure(row, threads, Mode::Host, settings);
    }
    if (settings.quiet && !row.slow) {
      quiet = measure(row, threads, Mode::Quiet, settings);
    }
    if (settings.tsv) {
      const auto& f = host ? host : quiet;
      if (f) {
        std::printf("%s\t%.2f\t%.2f\t%.2f\t%.2f\t%zu\n", row.name.c_str(), f->library.rate,
                    f->ceiling.rate, f->library.cpu_rate, f->ceiling.cpu_rate, f->units);
      }
      continue;
    }
    char text[320] = "| | | | | | |";
    if (host) {
      std::snprintf(text, sizeof text, "%.1f | %.1f | %.3f%s | %.2f–%.2f | %.3f | %.1f | %.1f |",
                    host->library.rate, host->ceiling.rate, host->ratio, host->noisy ? "*" : "",
                    host->ratio_p25, host->ratio_p75, host->cpu_ratio,
                    host->library.faults_per_unit, host->ceiling.faults_per_unit);
      below += host->ratio < GOAL ? 1 : 0;
      if (host->ratio < lowest) {
        lowest = host->ratio;
        lowest_row = row.name;
      }
    }
    std::printf(
        "| %s | %s", row.name.c_str(),
        !host && settings.host ? ("FAILED: " + host.error() + " | | | | | | |").c_str() : text);
    if (quiet) {
      std::printf(" %.3f%s | %.1f / %.1f |\n", quiet->ratio, quiet->noisy ? "*" : "",
                  quiet->library.faults_per_unit, quiet->ceiling.faults_per_unit);
    } else {
      std::printf(" %s | |\n",
                  settings.quiet && !row.slow ? ("FAILED: " + quiet.error()).c_str() : "");
    }
    std::fflush(stdout);
  }
  if (!settings.tsv && !lowest_row.empty()) {
    std::printf("\nhost mode: %d row%s below %.2f; lowest %.3f (%s)\n", below,
                below == 1 ? "" : "s", GOAL, lowest, lowest_row.c_str());
  }
  return below;
}

}  // namespace

const CommandSpec kBenchSpec{
    "bench",
    "[FILE] [--threads L] [--mode host|quiet|both] [--seconds S | --repeat R] [--quick]\n"
    "       [--only TEXT] [--no-extras] [--host-threads L] [--size WxH] [--transcode-groups N]\n"
    "       [--random-access N] [--tsv]",
    "Measures pictures per second of the library's exports against the bare loop, the host's\n"
    "own libavcodec + libswscale loop doing the same work in the same process (one decoder\n"
    "flushed before each group, one scaler, output buffers recycled), in interleaved rounds;\n"
    "prints Markdown tables with the ratio library / bare loop on wall and CPU time and the\n"
    "minor page faults per picture of each. Rows: decode to RGB at the picture's size and at\n"
    "--size, to YUV 4:2:0, the indexed decode (not AV1); then the transcode, the decoder pool\n"
    "against a fresh decoder per call, and the memory rows (host threads' pictures per second\n"
    "and idle resident memory against a bare loop in a process of its own). Without FILE, on\n"
    "H.264, H.265 and AV1 groups at 360p, 720p and 1080p that it encodes itself; with FILE, on\n"
    "the file's groups. The machine should be otherwise idle.",
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
  auto selected = [&](const std::string& name) {
    return s.only.empty() || name.find(s.only) != std::string::npos;
  };
  const std::string resized = "rgb-" + std::to_string(s.width) + "x" + std::to_string(s.height);
  const std::pair<const char*, Job> outputs[] = {{"rgb", {Work::Rgb, 0, 0}},
                                                 {resized.c_str(), {Work::Rgb, s.width, s.height}},
                                                 {"yuv420", {Work::Yuv420, 0, 0}},
                                                 {"indexed", {Work::Indexed, 0, 0}}};
  // (title, rows) of each table.
  std::vector<std::pair<std::string, std::vector<Row>>> tables;
  std::map<std::pair<RuntimeCodec, int>, Source> made;
  Source file;
  if (options.positional().size() > 1) {
    return report_error("bench", "one FILE at most");
  }
  if (!options.positional().empty()) {
    auto clip = read_container(options.positional().front());
    if (!clip) {
      return report_error("bench", clip.error());
    }
    file.codec = clip->codec;
    file.extradata = clip->extradata;
    for (const Group& group : clip->groups) {
      clip->request(group, file.groups.emplace_back());
    }
    // Moved, the bytes stay where the packets point.
    for (AccessUnit& unit : clip->access_units) {
      file.bytes.push_back(std::move(unit.bytes));
    }
    std::vector<Row> rows;
    for (const auto& [name, job] : outputs) {
      if (job.work != Work::Indexed || file.codec != RuntimeCodec::Av1) {
        rows.push_back({name, &file, job, file.groups.size()});
      }
    }
    rows.push_back({"transcode",
                    &file,
                    {Work::Transcode, 0, 0},
                    std::min(s.transcode_groups, file.groups.size()),
                    false,
                    false,
                    true});
    if (s.random_access > 0) {
      rows.push_back({"random-access", &file, {Work::Yuv420, 0, 0}, s.random_access, true, true});
    }
    std::erase_if(rows, [&](const Row& row) { return !selected(row.name); });
    tables.push_back({clip->source + ": " + codec_label(clip->codec) + " " +
                          std::to_string(clip->width) + "x" + std::to_string(clip->height) + ", " +
                          std::to_string(clip->groups.size()) + " groups",
                      rows});
  } else {
    // The media is made on a thread of its own, so that the encoders' heap
    // stays out of the arena the rows run in.
    std::thread([&] {
      auto source = [&](RuntimeCodec codec, int height) -> const Source* {
        auto [at, fresh] = made.try_emplace({codec, height});
        if (fresh) {
          at->second = bench::make_source(codec, height);
        }
        return &at->second;
      };
      std::vector<Row> decode_rows, transcode_rows, pool_rows;
      for (const RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
        for (const int height : {360, 720, 1080}) {
          for (const auto& [output, job] : outputs) {
            const std::string name = std::string(codec_label(codec)) + " " +
                                     std::to_string(height * 16 / 9) + "x" +
                                     std::to_string(height) + " " + output;
            if ((job.work != Work::Indexed || codec != RuntimeCodec::Av1) && selected(name)) {
              decode_rows.push_back({name, source(codec, height), job});
            }
          }
        }
      }
      for (const int height : {360, 1080}) {
        const std::string name = "H.264 " + std::to_string(height * 16 / 9) + "x" +
                                 std::to_string(height) + " transcode";
        if (s.extras && selected(name)) {
          transcode_rows.push_back({name,
                                    source(RuntimeCodec::H264, height),
                                    {Work::Transcode, 0, 0},
                                    1,
                                    false,
                                    false,
                                    true});
        }
      }
      const std::string pool = "H.264 640x360 indexed, pooled decoder against a fresh one per call";
      if (s.extras && selected(pool)) {
        pool_rows.push_back(
            {pool, source(RuntimeCodec::H264, 360), {Work::Indexed, 0, 0}, 1, true});
      }
      tables = {{"Decode rows (12-picture groups)", decode_rows},
                {"Transcode rows against a bare decode + libx264 loop", transcode_rows},
                {"The decoder pool's speed-up (ratio above 1: the pool's gain)", pool_rows}};
    }).join();
  }
  if (!s.tsv) {
    std::printf(
        "# allocator: %s (LD_PRELOAD=%s GLIBC_TUNABLES=%s); FFmpeg libavcodec %s\n# ratio = median "
        "over interleaved rounds of bare-loop time / library time (* = noisy: p75/p25 above %.2f);"
        "\n# faults = minor page faults of the process per picture, during each side's calls\n",
        environment("VANTLE_BENCH_ALLOCATOR", "as the process has it"),
        environment("LD_PRELOAD", ""), environment("GLIBC_TUNABLES", ""),
        AV_STRINGIFY(LIBAVCODEC_VERSION), bench::NOISY_SPREAD);
  }
  int below = 0;
  for (const int threads : s.threads) {
    setenv("VANTLE_VIDEO_FFMPEG_THREADS", std::to_string(threads).c_str(), 1);
    for (const auto& [title, rows] : tables) {
      if (!rows.empty()) {
        below += print_table(title, rows, threads, s);
      }
    }
  }
  if (options.positional().empty() && s.extras && !s.tsv && selected("memory")) {
    bench::print_memory_rows(s.host_threads,
                             options.has("--quick") ? 1 : std::max(s.min_rounds, 5));
  }
  return below == 0 ? 0 : 3;
}

}  // namespace vantle::tool
