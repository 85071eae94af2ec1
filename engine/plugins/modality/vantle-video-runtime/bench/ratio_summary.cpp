#include "ratio_summary.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_media.h"
#include "bench_options.h"
#include "common/ffmpeg.h"
#include "sample_stats.h"

namespace vantle::bench {

namespace {

constexpr double MIB = 1024.0 * 1024.0;

// Growth above the goal that is still counted as none: page rounding and
// the allocator's own bookkeeping, 1% of the budget.
constexpr double MEMORY_TOLERANCE = 0.01;

std::vector<double> walls(const std::vector<CallTime>& times) {
  std::vector<double> out;
  for (const CallTime& time : times) {
    out.push_back(time.wall);
  }
  return out;
}

std::vector<double> pair_ratios(const PairTimes& times, bool cpu) {
  std::vector<double> ratios;
  const std::size_t pairs = std::min(times.library.size(), times.bare.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    const double library = cpu ? times.library[i].cpu : times.library[i].wall;
    const double bare = cpu ? times.bare[i].cpu : times.bare[i].wall;
    if (library > 0) {
      ratios.push_back(bare / library);
    }
  }
  return ratios;
}

std::string row_label(const RatioRow& row) {
  std::string label = row.section;
  label.resize(std::max<std::size_t>(label.size(), 19), ' ');
  return label + " " + row.name;
}

void print_throughput(const std::vector<RatioRow>& rows, std::vector<std::string>& below) {
  std::printf(
      "\n==== Summary: library against bare libavcodec loops (goal: ratio >= %.2f)\n"
      "fps = pictures per second from the median call time; ratio = median over interleaved\n"
      "pairs of bare time / library time (above 1: the library is faster); p25..p75 = spread of\n"
      "the pair ratios; best = fastest bare call / fastest library call; cpu = the paired ratio\n"
      "on process CPU time. \"noisy\": p75/p25 above %.2f, the machine was too busy to judge.\n\n",
      RATIO_GOAL, NOISY_SPREAD);
  std::printf("%-42s %3s %5s %11s %11s %6s %12s %6s %6s  %s\n", "row", "thr", "pairs",
              "library fps", "bare fps", "ratio", "p25..p75", "best", "cpu", "goal");
  for (const RatioRow& row : rows) {
    if (row.kind != RowKind::Throughput) {
      continue;
    }
    const std::string label = row_label(row);
    if (!row.skipped.empty() || !row.failed.empty()) {
      std::printf("%-42s %3d  %s: %s\n", label.c_str(), row.threads,
                  row.failed.empty() ? "skipped" : "FAILED",
                  (row.failed.empty() ? row.skipped : row.failed).c_str());
      continue;
    }
    const RowFigures figures = figures_of(row);
    const bool met = figures.ratio >= RATIO_GOAL;
    char spread[32];
    std::snprintf(spread, sizeof spread, "%.3f..%.3f", figures.ratio_p25, figures.ratio_p75);
    std::printf("%-42s %3d %5d %11.1f %11.1f %6.3f %12s %6.3f %6.3f  >= %.2f %s%s\n", label.c_str(),
                row.threads, figures.pairs, figures.library_rate, figures.bare_rate, figures.ratio,
                spread, figures.best_ratio, figures.cpu_ratio, RATIO_GOAL, met ? "ok" : "BELOW",
                figures.noisy ? " (noisy)" : "");
    if (!met) {
      char line[256];
      std::snprintf(line, sizeof line, "%s, %d thread(s): ratio %.3f, best %.3f, cpu %.3f%s",
                    label.c_str(), row.threads, figures.ratio, figures.best_ratio,
                    figures.cpu_ratio, figures.noisy ? " (noisy)" : "");
      below.emplace_back(line);
    }
  }
}

void print_pool(const std::vector<RatioRow>& rows) {
  bool any = false;
  for (const RatioRow& row : rows) {
    any = any || row.kind == RowKind::PoolCalls;
  }
  if (!any) {
    return;
  }
  std::printf(
      "\n==== Pool benefit: calls decoding one 12-picture group on one thread, the library's\n"
      "pooled decoder against a bare loop that opens and frees a decoder per call\n"
      "(avcodec_alloc_context3 + avcodec_open2 + avcodec_free_context); calls interleaved.\n"
      "A fresh decoder costs its set-up instructions plus page faults on the memory it\n"
      "allocates. How many faults depends on the C heap: \"run first\" rows run before any\n"
      "large picture was freed, when glibc still returns freed memory to the system at once;\n"
      "\"after others\" rows run once the freed 1080p pictures have raised glibc's mmap and\n"
      "trim thresholds, so a fresh decoder reuses memory that is already mapped.\n\n");
  std::printf("%-42s %3s %5s %14s %14s %9s %12s\n", "row", "thr", "calls", "pooled calls/s",
              "fresh calls/s", "speed-up", "p25..p75");
  for (const RatioRow& row : rows) {
    if (row.kind != RowKind::PoolCalls) {
      continue;
    }
    const std::string label = row_label(row);
    if (!row.skipped.empty() || !row.failed.empty()) {
      std::printf("%-42s %3d  %s: %s\n", label.c_str(), row.threads,
                  row.failed.empty() ? "skipped" : "FAILED",
                  (row.failed.empty() ? row.skipped : row.failed).c_str());
      continue;
    }
    const RowFigures figures = figures_of(row);
    char spread[32];
    std::snprintf(spread, sizeof spread, "%.2f..%.2f", figures.ratio_p25, figures.ratio_p75);
    std::printf("%-42s %3d %5d %14.1f %14.1f %8.2fx %12s\n", label.c_str(), row.threads,
                figures.pairs, figures.library_rate, figures.bare_rate, figures.ratio, spread);
  }
}

void print_bytes_line(const char* what, double bytes, double goal) {
  std::printf("  %-44s %12.0f bytes %8.1f MiB", what, bytes, bytes / MIB);
  if (goal > 0) {
    std::printf("   %+7.1f MiB against the goal", (bytes - goal) / MIB);
  }
  std::printf("\n");
}

void print_memory(const std::vector<MemoryRow>& rows, std::vector<std::string>& above) {
  for (const MemoryRow& row : rows) {
    std::printf(
        "\n==== Peak memory of one vantle_video_runtime_decode_indexed call: %s, %d thread(s)\n",
        row.name.c_str(), row.threads);
    if (!row.skipped.empty() || !row.failed.empty()) {
      std::printf("  %s: %s\n", row.failed.empty() ? "skipped" : "FAILED",
                  (row.failed.empty() ? row.skipped : row.failed).c_str());
      continue;
    }
    const int held = row.decoder_refs + row.decoder_reorder + 1 + (row.threads - 1);
    const double estimate = static_cast<double>(row.decoder_frame_bytes) * held;
    const double goal = static_cast<double>(row.budget) +
                        static_cast<double>(std::max<std::int64_t>(row.decoder_alone, 0));
    std::printf(
        "  peak RSS growth of the call (VmHWM after - before, in a fresh child process\n"
        "  with the peak reset just before the call); goal: budget + the decoder's own\n"
        "  frames (measured as a bare decode of the same run that copies nothing out),\n"
        "  within %.0f%% of the budget.\n",
        MEMORY_TOLERANCE * 100);
    char budget_label[96];
    std::snprintf(budget_label, sizeof budget_label, "budget (%zu x %llu)", row.pictures,
                  static_cast<unsigned long long>(row.picture_bytes));
    print_bytes_line(budget_label, static_cast<double>(row.budget), 0);
    char estimate_label[160];
    std::snprintf(estimate_label, sizeof estimate_label, "decoder frames, estimate: %d x %.2f MiB",
                  held, static_cast<double>(row.decoder_frame_bytes) / MIB);
    print_bytes_line(estimate_label, estimate, 0);
    std::printf(
        "    (%d references + %d reordered + 1 being decoded + %d for the other frame\n"
        "    threads, frame buffers only; the measured figure adds the decoder's\n"
        "    per-picture tables and its context)\n",
        row.decoder_refs, row.decoder_reorder, row.threads - 1);
    print_bytes_line("decoder alone, measured", static_cast<double>(row.decoder_alone), 0);
    print_bytes_line("goal: budget + decoder alone", goal, 0);
    print_bytes_line("library call", static_cast<double>(row.library), goal);
    print_bytes_line("bare loop (decode + plane copies)", static_cast<double>(row.bare), goal);
    const double excess = static_cast<double>(row.library) - goal;
    const bool met = excess <= MEMORY_TOLERANCE * static_cast<double>(row.budget);
    std::printf("  verdict: %s\n", met ? "ok, the budget plus the decoder's own frames"
                                       : "ABOVE the budget plus the decoder's own frames");
    if (!met) {
      char line[256];
      std::snprintf(line, sizeof line, "peak memory, %d thread(s): %.1f MiB above the goal",
                    row.threads, excess / MIB);
      above.emplace_back(line);
    }
  }
}

std::string version_text(unsigned version) {
  return std::to_string(AV_VERSION_MAJOR(version)) + "." +
         std::to_string(AV_VERSION_MINOR(version)) + "." +
         std::to_string(AV_VERSION_MICRO(version));
}

const char* decoder_name(AVCodecID id) {
  const AVCodec* codec = avcodec_find_decoder(id);
  return codec != nullptr ? codec->name : "(none)";
}

void print_setting() {
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_H264);
  std::printf(
      "\n==== Setting\n"
      "- FFmpeg loaded: libavcodec %s, libavutil %s, libswscale %s; decoders %s and %s; H.264\n"
      "  encoder %s.\n",
      version_text(avcodec_version()).c_str(), version_text(avutil_version()).c_str(),
      version_text(swscale_version()).c_str(), decoder_name(AV_CODEC_ID_H264),
      decoder_name(AV_CODEC_ID_HEVC), encoder != nullptr ? encoder->name : "(none)");
#ifdef NDEBUG
  std::printf(
      "- This program and the library: optimised build (NDEBUG). Google Benchmark's \"Library\n"
      "  was built as DEBUG\" warning, if shown, is about the packaged libbenchmark only.\n");
#else
  std::printf("- WARNING: this program was built without NDEBUG; build it in Release.\n");
#endif
  for (const PacketRun* run : made_runs()) {
    if (!run->error.empty()) {
      std::printf("- %s: not made: %s\n", run->label.c_str(), run->error.c_str());
      continue;
    }
    std::printf("- %s: %s, %zu packets (%zu bytes), %zu pictures, B-frames %s\n",
                run->label.c_str(), run->encoder.c_str(), run->packets.size(), run->bytes,
                run->pictures, run->reordered ? "yes" : "no");
  }
}

void print_method() {
  const BenchOptions& options = bench_options();
  std::printf(
      "\n==== Method\n"
      "- Packets: in memory, made with the test fixture's encode_stream (libx264 / libx265,\n"
      "  moving pictures, groups of 12, 2 B-frames); each row decodes the first group.\n"
      "- Each row runs on a fresh thread, so the library's per-thread decoder pool starts empty;\n"
      "  both sides run once untimed, then library and bare calls alternate (order swapped\n"
      "  every pair) for %.1f s and at least %d pairs (at most %d)%s.\n"
      "- The bare decode loop opens its decoder once per row (same FFmpeg decoder, thread_type\n"
      "  FF_THREAD_FRAME, thread_count from VANTLE_VIDEO_FFMPEG_THREADS) and flushes it with\n"
      "  avcodec_flush_buffers after every run, as the library pools its decoders per thread:\n"
      "  opening a decoder per call in the baseline would flatter the library.\n"
      "- Both sides copy each packet into a padded AVPacket, copy the planes into exact-size\n"
      "  malloc'd buffers (no zero fill; one block per plane without line padding, else per\n"
      "  row) and free their output inside the timed call. RGB: one sws_getContext per call\n"
      "  (SWS_FAST_BILINEAR) with sws_setColorspaceDetails from the frame's colour space and\n"
      "  range, destination range 1. Transcode: avcodec_find_encoder(AV_CODEC_ID_H264), one\n"
      "  encoder per call, gop_size 12, max_b_frames 0, no options, every packet copied once.\n"
      "- Thread passes set VANTLE_VIDEO_FFMPEG_THREADS inside the program; the bare loops use\n"
      "  the same count.\n",
      options.seconds_per_row, options.min_pairs, options.max_pairs,
      options.quick ? " (--quick)" : "");
}

}  // namespace

RowFigures figures_of(const RatioRow& row) {
  RowFigures figures;
  figures.pairs = static_cast<int>(std::min(row.times.library.size(), row.times.bare.size()));
  const double library_time = median(walls(row.times.library));
  const double bare_time = median(walls(row.times.bare));
  figures.library_rate = library_time > 0 ? row.units_per_call / library_time : 0;
  figures.bare_rate = bare_time > 0 ? row.units_per_call / bare_time : 0;
  const std::vector<double> ratios = pair_ratios(row.times, false);
  figures.ratio = median(ratios);
  figures.ratio_p25 = quantile(ratios, 0.25);
  figures.ratio_p75 = quantile(ratios, 0.75);
  figures.cpu_ratio = median(pair_ratios(row.times, true));
  const std::vector<double> library_walls = walls(row.times.library);
  const std::vector<double> bare_walls = walls(row.times.bare);
  if (!library_walls.empty() && !bare_walls.empty()) {
    figures.best_ratio = *std::min_element(bare_walls.begin(), bare_walls.end()) /
                         *std::min_element(library_walls.begin(), library_walls.end());
  }
  figures.noisy = figures.ratio_p25 > 0 && figures.ratio_p75 / figures.ratio_p25 > NOISY_SPREAD;
  return figures;
}

void Summary::add(RatioRow row) {
  for (RatioRow& earlier : rows_) {
    if (earlier.kind == row.kind && earlier.section == row.section && earlier.name == row.name &&
        earlier.threads == row.threads && earlier.skipped.empty() && earlier.failed.empty() &&
        row.skipped.empty() && row.failed.empty()) {
      earlier.times.library.insert(earlier.times.library.end(), row.times.library.begin(),
                                   row.times.library.end());
      earlier.times.bare.insert(earlier.times.bare.end(), row.times.bare.begin(),
                                row.times.bare.end());
      return;
    }
  }
  rows_.push_back(std::move(row));
}

void Summary::add(MemoryRow row) {
  memory_.push_back(std::move(row));
}

bool Summary::any_failed() const {
  return std::any_of(rows_.begin(), rows_.end(),
                     [](const RatioRow& row) { return !row.failed.empty(); }) ||
         std::any_of(memory_.begin(), memory_.end(),
                     [](const MemoryRow& row) { return !row.failed.empty(); });
}

void Summary::print() const {
  std::vector<std::string> below;
  print_throughput(rows_, below);
  print_pool(rows_);
  print_memory(memory_, below);
  print_setting();
  print_method();
  std::printf("\n==== Rows that miss their goal: %s\n", below.empty() ? "none" : "");
  for (const std::string& line : below) {
    std::printf("- %s\n", line.c_str());
  }
  std::fflush(stdout);
}

Summary& summary() {
  static Summary instance;
  return instance;
}

}  // namespace vantle::bench
