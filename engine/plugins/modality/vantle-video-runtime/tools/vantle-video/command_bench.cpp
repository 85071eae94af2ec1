// bench: the benchmark program. Every row sets library calls (through the C
// interface) against the bare loop (bench/) in the same process, in
// interleaved rounds: on groups it encodes itself, or on FILE's groups.
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
  int width = 640;
  int height = 360;
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
  if (auto text = options.value("--size")) {
    auto size = parse_size(*text);
    if (!size) {
      return std::unexpected(size.error());
    }
    s.width = static_cast<int>(size->first);
    s.height = static_cast<int>(size->second);
  }
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

// Measures and prints one table; answers how many host-mode rows fall below GOAL.
int print_table(const std::string& title, const std::vector<Row>& rows, int threads,
                const Settings& s, bool tsv) {
  if (!tsv) {
    std::printf(
        "\n%s, %d codec thread%s\n\n| row | library pictures/s | bare loop pictures/s | library ÷ "
        "bare loop | spread (p25–p75) | CPU time: library ÷ bare loop | faults/picture library / "
        "bare loop | quiet: library ÷ bare loop | quiet: faults/picture library / bare loop |\n"
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n",
        title.c_str(), threads, threads == 1 ? "" : "s");
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
  const bool extras = !options.has("--no-extras");
  const bool tsv = options.has("--tsv");
  auto selected = [&](const std::string& name) {
    return s.only.empty() || name.find(s.only) != std::string::npos;
  };
  const std::string resized = "rgb-" + std::to_string(s.width) + "x" + std::to_string(s.height);
  const std::pair<std::string, Job> outputs[] = {{"rgb", {Work::Rgb, 0, 0}},
                                                 {resized, {Work::Rgb, s.width, s.height}},
                                                 {"yuv420", {Work::Yuv420, 0, 0}},
                                                 {"indexed", {Work::Indexed, 0, 0}}};
  std::vector<std::pair<std::string, std::vector<Row>>> tables;  // (title, rows)
  std::map<std::pair<RuntimeCodec, int>, Source> made;
  if (options.positional().size() > 1) {
    return report_error("bench", "one FILE at most");
  }
  if (!options.positional().empty()) {
    auto clip = read_container(options.positional().front());
    if (!clip) {
      return report_error("bench", clip.error());
    }
    Source& file = made[{clip->codec, 0}];
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
    const std::size_t groups = file.groups.size();
    for (const auto& [name, job] : outputs) {
      if (job.work != Work::Indexed || file.codec != RuntimeCodec::Av1) {
        rows.push_back({name, &file, job, groups});
      }
    }
    rows.push_back({"transcode",
                    &file,
                    {Work::Transcode, 0, 0},
                    std::min<std::size_t>(s.number("--transcode-groups"), groups),
                    false,
                    false,
                    true});
    if (s.number("--random-access") > 0) {
      rows.push_back({"random-access",
                      &file,
                      {Work::Yuv420, 0, 0},
                      static_cast<std::size_t>(s.number("--random-access")),
                      true,
                      true});
    }
    std::erase_if(rows, [&](const Row& row) { return !selected(row.name); });
    tables.push_back({clip->source + ": " + codec_label(clip->codec) + " " +
                          std::to_string(clip->width) + "x" + std::to_string(clip->height) + ", " +
                          std::to_string(groups) + " groups",
                      rows});
  } else {
    // The media is made on a thread of its own, so that the encoders' heap
    // stays out of the arena the rows run in.
    std::thread([&] {
      std::vector<Row> rows[3];  // decode, transcode, pool
      auto add = [&](int table, std::string name, RuntimeCodec codec, int height, Row row) {
        name = std::string(codec_label(codec)) + " " + std::to_string(height * 16 / 9) + "x" +
               std::to_string(height) + " " + name;
        if ((table == 0 || extras) && selected(name)) {
          auto [at, fresh] = made.try_emplace({codec, height});
          if (fresh) {
            at->second = bench::make_source(codec, height);
          }
          row.name = name;
          row.source = &at->second;
          rows[table].push_back(row);
        }
      };
      for (const RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
        for (const int height : {360, 720, 1080}) {
          for (const auto& [output, job] : outputs) {
            if (job.work != Work::Indexed || codec != RuntimeCodec::Av1) {
              add(0, output, codec, height, {"", nullptr, job});
            }
          }
        }
      }
      for (const int height : {360, 1080}) {
        add(1, "transcode", RuntimeCodec::H264, height,
            {"", nullptr, {Work::Transcode, 0, 0}, 1, false, false, true});
      }
      add(2, "indexed, pooled decoder against a fresh one per call", RuntimeCodec::H264, 360,
          {"", nullptr, {Work::Indexed, 0, 0}, 1, true});
      tables = {{"Decode rows (12-picture groups)", rows[0]},
                {"Transcode rows against a bare decode + libx264 loop", rows[1]},
                {"The decoder pool's speed-up (ratio above 1: the pool's gain)", rows[2]}};
    }).join();
  }
  if (!tsv) {
    std::printf(
        "# allocator: %s (LD_PRELOAD=%s GLIBC_TUNABLES=%s); FFmpeg libavcodec %s\n# ratio = median "
        "over interleaved rounds of bare-loop time / library time (* = noisy: p75/p25 above %.2f);"
        "\n# faults = minor page faults of the process per picture, during each side's calls\n",
        environment("VANTLE_BENCH_ALLOCATOR", "as the process has it"),
        environment("LD_PRELOAD", ""), environment("GLIBC_TUNABLES", ""),
        AV_STRINGIFY(LIBAVCODEC_VERSION), bench::NOISY_SPREAD);
  }
  int below = 0;
  for (const int threads : s.numbers.at("--threads")) {
    setenv("VANTLE_VIDEO_FFMPEG_THREADS", std::to_string(threads).c_str(), 1);
    for (const auto& [title, rows] : tables) {
      below += rows.empty() ? 0 : print_table(title, rows, threads, s, tsv);
    }
  }
  if (options.positional().empty() && extras && !tsv && selected("memory")) {
    bench::print_memory_rows(s.numbers.at("--host-threads"),
                             options.has("--quick") ? 1 : std::max(s.min_rounds, 5));
  }
  return below == 0 ? 0 : 3;
}

}  // namespace vantle::tool
