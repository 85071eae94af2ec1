// The benchmark program: every row's library calls (through the C interface)
// against the ceiling, the host's own bare loop, in the same process. In
// host mode, the default, the host works between calls as a host does: it
// demuxes each group into a buffer of its own and runs its own decode of the
// group beside the library's. Quiet mode, each side's calls back to back,
// is the second figure.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_rows.h"
#include "rounds.h"

extern "C" {
#include <libavcodec/version.h>
#include <libavutil/log.h>
#include <libavutil/macros.h>
}

namespace vantle::bench {

namespace {

struct Options {
  double seconds = 2;
  int min_rounds = 7;
  std::vector<int> threads = {1, 2};
  // Only rows whose name contains this text.
  std::string only;
  bool host = true;
  bool quiet = true;
  bool extras = true;
};

[[noreturn]] void usage(int status) {
  std::fprintf(status == 0 ? stdout : stderr,
               "usage: vantle_video_runtime_bench [--quick] [--seconds S] [--threads 1,2]\n"
               "       [--only TEXT] [--mode host|quiet|both] [--no-extras]\n"
               "  --quick       0.3 s and 3 rounds a row: a check that everything runs\n"
               "  --seconds S   measuring time per row and mode (default 2; at least 7 rounds)\n"
               "  --threads L   codec threads of each pass (VANTLE_VIDEO_FFMPEG_THREADS for the\n"
               "                library, the same for the host loop; default 1,2)\n"
               "  --only TEXT   only rows whose name contains TEXT, e.g. 'H.264 1920x1080'\n"
               "  --mode M      host (library calls alternating with the host's own loop and\n"
               "                allocations), quiet (each side back to back) or both (default)\n"
               "  --no-extras   leave out the transcode, pool and resident-memory tables\n");
  std::exit(status);
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    auto take = [&] {
      if (value == nullptr) {
        usage(2);
      }
      ++i;
      return std::string(value);
    };
    if (flag == "--help" || flag == "-h") {
      usage(0);
    } else if (flag == "--quick") {
      options.seconds = 0.3;
      options.min_rounds = 3;
    } else if (flag == "--seconds") {
      options.seconds = std::atof(take().c_str());
    } else if (flag == "--threads") {
      options.threads.clear();
      const std::string list = take();
      for (const char* at = list.c_str(); *at != '\0';) {
        char* end = nullptr;
        options.threads.push_back(static_cast<int>(std::strtol(at, &end, 10)));
        at = *end == ',' ? end + 1 : end;
        if (end == at && *at != '\0') {
          usage(2);
        }
      }
    } else if (flag == "--only") {
      options.only = take();
    } else if (flag == "--mode") {
      const std::string mode = take();
      options.host = mode != "quiet";
      options.quiet = mode != "host";
    } else if (flag == "--no-extras") {
      options.extras = false;
    } else {
      usage(2);
    }
  }
  return options;
}

struct Output {
  const char* name;
  ceiling::Job job;
};

constexpr Output OUTPUTS[] = {
    {"RGB native", {ceiling::Work::Rgb, 0, 0}},
    {"RGB 640x360", {ceiling::Work::Rgb, 640, 360}},
    {"YUV420", {ceiling::Work::Yuv420, 0, 0}},
    {"indexed", {ceiling::Work::Indexed, 0, 0}},
};
constexpr RuntimeCodec CODECS[] = {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1};
constexpr int HEIGHTS[] = {360, 720, 1080};
constexpr double GOAL = 0.95;
// Quiet mode: calls per side back to back in a round.
constexpr std::size_t QUIET_CALLS = 4;

struct Row {
  std::string name;
  const Group* group;
  ceiling::Job job;
  // The ceiling opens a decoder for every call (the pool rows).
  bool fresh_ceiling = false;
  // Rows of slow calls (the transcode) are measured in host mode only, over
  // fewer rounds.
  bool slow = false;
};

struct Measured {
  std::expected<ceiling::RowFigures, std::string> host = std::unexpected("not measured");
  std::expected<ceiling::RowFigures, std::string> quiet = std::unexpected("not measured");
};

std::expected<ceiling::RowFigures, std::string> measure(const Row& row, int threads,
                                                        ceiling::Mode mode,
                                                        const Options& options) {
  const Group& group = *row.group;
  auto kept = ceiling::Ceiling::open(group.codec, {}, threads);
  if (!kept) {
    return std::unexpected(kept.error());
  }
  ceiling::RowPlan plan;
  plan.mode = mode;
  plan.steps = mode == ceiling::Mode::Quiet ? QUIET_CALLS : 1;
  plan.seconds = options.seconds;
  plan.min_rounds = row.slow ? std::min(options.min_rounds, 3) : options.min_rounds;
  plan.packets = [&](std::size_t) { return std::span<const RuntimePacket>(group.runtime_packets); };
  plan.library = [&](std::size_t) { return library_call(group, row.job); };
  plan.ceiling = [&](std::size_t) -> std::expected<std::size_t, std::string> {
    if (!row.fresh_ceiling) {
      return kept->run(group.runtime_packets, row.job);
    }
    auto fresh = ceiling::Ceiling::open(group.codec, {}, threads);
    if (!fresh) {
      return std::unexpected(fresh.error());
    }
    return fresh->run(group.runtime_packets, row.job);
  };
  return ceiling::measure_row(plan);
}

std::string ratio_text(const ceiling::RowFigures& figures) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f%s", figures.ratio, figures.noisy ? "*" : "");
  return text;
}

// Prints one table of rows; answers how many host-mode rows fall below GOAL.
int print_table(const char* title, const char* ceiling_name, const std::vector<Row>& rows,
                int threads, const Options& options) {
  std::printf("\n%s, %d codec thread%s\n\n", title, threads, threads == 1 ? "" : "s");
  std::printf(
      "| row | library pictures/s | %s pictures/s | library ÷ %s | spread (p25–p75) | CPU time: "
      "library ÷ %s | "
      "faults/picture library | faults/picture %s | quiet: library ÷ %s | quiet faults/picture "
      "library / %s |\n",
      ceiling_name, ceiling_name, ceiling_name, ceiling_name, ceiling_name, ceiling_name);
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  int below = 0;
  double lowest = 10;
  std::string lowest_row;
  for (const Row& row : rows) {
    if (!row.group->error.empty()) {
      std::printf("| %s | skipped: %s |\n", row.name.c_str(), row.group->error.c_str());
      continue;
    }
    std::fprintf(stderr, "measuring %s ...\n", row.name.c_str());
    Measured m;
    if (options.host) {
      m.host = measure(row, threads, ceiling::Mode::Host, options);
    }
    if (options.quiet && !row.slow) {
      m.quiet = measure(row, threads, ceiling::Mode::Quiet, options);
    }
    std::string host_part = "| | | | | | | ";
    if (options.host && !m.host) {
      host_part = "| FAILED: " + m.host.error() + " | | | | | | ";
    } else if (m.host) {
      const ceiling::RowFigures& f = *m.host;
      char text[256];
      std::snprintf(text, sizeof text, "| %.1f | %.1f | %s | %.2f–%.2f | %.3f | %.1f | %.1f | ",
                    f.library.rate, f.ceiling.rate, ratio_text(f).c_str(), f.ratio_p25, f.ratio_p75,
                    f.cpu_ratio, f.library.faults_per_unit, f.ceiling.faults_per_unit);
      host_part = text;
      below += f.ratio < GOAL ? 1 : 0;
      if (f.ratio < lowest) {
        lowest = f.ratio;
        lowest_row = row.name;
      }
    }
    std::string quiet_part = "| |";
    if (options.quiet && !row.slow && !m.quiet) {
      quiet_part = "FAILED: " + m.quiet.error() + " | |";
    } else if (m.quiet) {
      char text[128];
      std::snprintf(text, sizeof text, "%s | %.1f / %.1f |", ratio_text(*m.quiet).c_str(),
                    m.quiet->library.faults_per_unit, m.quiet->ceiling.faults_per_unit);
      quiet_part = text;
    }
    std::printf("| %s %s%s\n", row.name.c_str(), host_part.c_str(), quiet_part.c_str());
    std::fflush(stdout);
  }
  if (options.host && !lowest_row.empty()) {
    std::printf("\nhost mode: %d row%s below %.2f; lowest %.3f (%s)\n", below,
                below == 1 ? "" : "s", GOAL, lowest, lowest_row.c_str());
  }
  return below;
}

}  // namespace

}  // namespace vantle::bench

int main(int argc, char** argv) {
  using namespace vantle::bench;
  using vantle::ceiling::Work;
  // The encoders' notes stay out of the table, as the library's first call
  // would have them anyway.
  av_log_set_level(AV_LOG_WARNING);
  if (argc == 5 && std::strcmp(argv[1], "--resident-child") == 0) {
    setenv("VANTLE_VIDEO_FFMPEG_THREADS", argv[4], 1);
    return resident_child(std::atoi(argv[2]));
  }
  const Options options = parse(argc, argv);
  auto selected = [&](const std::string& name) {
    return options.only.empty() || name.find(options.only) != std::string::npos;
  };
  // The media is made on a thread of its own, so that the encoders' heap
  // stays out of the arena the rows run in.
  std::vector<Row> decode_rows;
  std::vector<Row> extra_rows;
  std::thread([&] {
    for (const RuntimeCodec codec : CODECS) {
      for (const int height : HEIGHTS) {
        for (const Output& output : OUTPUTS) {
          const std::string name = std::string(codec_label(codec)) + " " +
                                   std::to_string(height * 16 / 9) + "x" + std::to_string(height) +
                                   " " + output.name;
          // The indexed decode takes H.264 and H.265 only.
          if ((output.job.work != Work::Indexed || codec != RuntimeCodec::Av1) && selected(name)) {
            decode_rows.push_back({name, &bench_group(codec, height), output.job});
          }
        }
      }
    }
    if (options.extras) {
      for (const int height : {360, 1080}) {
        const Group& group = bench_group(RuntimeCodec::H264, height);
        extra_rows.push_back(
            {"transcode " + group.label, &group, {Work::Transcode, 0, 0}, false, true});
      }
    }
  }).join();
  const char* allocator = std::getenv("VANTLE_BENCH_ALLOCATOR");
  const char* preload = std::getenv("LD_PRELOAD");
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  std::printf("# allocator: %s (LD_PRELOAD=%s GLIBC_TUNABLES=%s); FFmpeg libavcodec %s\n",
              allocator != nullptr ? allocator : "as the process has it",
              preload != nullptr ? preload : "", tunables != nullptr ? tunables : "",
              AV_STRINGIFY(LIBAVCODEC_VERSION));
  std::printf(
      "# ratio = median over interleaved rounds of host-loop time / library time (* = noisy: "
      "p75/p25 above %.2f);\n# faults = minor page faults of the process per picture, during "
      "each side's calls\n",
      vantle::ceiling::NOISY_SPREAD);
  int below = 0;
  for (const int threads : options.threads) {
    setenv("VANTLE_VIDEO_FFMPEG_THREADS", std::to_string(threads).c_str(), 1);
    if (!decode_rows.empty()) {
      below += print_table("Decode rows against the host loop (12-picture groups)", "host loop",
                           decode_rows, threads, options);
    }
    if (!options.extras) {
      continue;
    }
    print_table("Transcode rows against a bare decode + libx264 loop", "bare loop", extra_rows,
                threads, options);
    Row pool{"H.264 640x360 indexed, pooled decoder against a fresh one per call",
             &bench_group(RuntimeCodec::H264, 360),
             {Work::Indexed, 0, 0},
             true};
    print_table("The decoder pool's speed-up (ratio above 1: the pool's gain)", "fresh decoder",
                {pool}, threads, options);
    print_resident_table(argv[0], threads);
  }
  return below == 0 ? 0 : 3;
}
