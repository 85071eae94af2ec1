#include "ratio_summary.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "bench_media.h"
#include "bench_options.h"
#include "common/text.h"
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

// Per round: reference time / library time, on wall clock or CPU time.
std::vector<double> round_ratios(const std::vector<CallTime>& library,
                                 const std::vector<CallTime>& reference, bool cpu) {
  std::vector<double> ratios;
  const std::size_t rounds = std::min(library.size(), reference.size());
  for (std::size_t i = 0; i < rounds; ++i) {
    const double mine = cpu ? library[i].cpu : library[i].wall;
    const double theirs = cpu ? reference[i].cpu : reference[i].wall;
    if (mine > 0) {
      ratios.push_back(theirs / mine);
    }
  }
  return ratios;
}

double faults_per_unit(const std::vector<CallTime>& times, double units) {
  std::vector<double> faults;
  for (const CallTime& time : times) {
    faults.push_back(static_cast<double>(time.minor_faults) / units);
  }
  return median(faults);
}

double rate_of(const std::vector<CallTime>& times, double units) {
  const double time = median(walls(times));
  return time > 0 ? units / time : 0;
}

std::string row_label(const RatioRow& row) {
  std::string label = row.section;
  label.resize(std::max<std::size_t>(label.size(), 19), ' ');
  return label + " " + row.name;
}

bool print_unusable(const RatioRow& row, const std::string& label) {
  if (row.skipped.empty() && row.failed.empty()) {
    return false;
  }
  std::printf("%-42s %3d  %s: %s\n", label.c_str(), row.threads,
              row.failed.empty() ? "skipped" : "FAILED",
              (row.failed.empty() ? row.skipped : row.failed).c_str());
  return true;
}

std::string spread_text(double p25, double p75) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f..%.3f", p25, p75);
  return text;
}

void print_throughput(const std::vector<RatioRow>& rows, std::vector<std::string>& below) {
  std::printf(
      "\n==== Summary: the library against the warm-memory ceiling (goals: decode >= %.2f,\n"
      "transcode >= %.2f)\n"
      "ceiling = the bare libavcodec(+swscale) loop with one decoder and one scaler for the whole\n"
      "row and output buffers recycled from group to group; for transcode rows, the bare\n"
      "decode + H.264 encode loop. fps = pictures per second from the median call time;\n"
      "ratio = median over interleaved rounds of ceiling time / library time (above 1: the\n"
      "library is faster); p25..p75 = spread of the round ratios; best = fastest ceiling call /\n"
      "fastest library call; cpu = the round ratio on process CPU time. \"noisy\": p75/p25\n"
      "above %.2f, the machine was too busy to judge.\n\n",
      DECODE_GOAL, TRANSCODE_GOAL, NOISY_SPREAD);
  std::printf("%-42s %3s %6s %11s %11s %6s %12s %6s %6s  %s\n", "row", "thr", "rounds",
              "library fps", "ceiling fps", "ratio", "p25..p75", "best", "cpu", "goal");
  for (const RatioRow& row : rows) {
    const std::string label = row_label(row);
    if (row.kind != RowKind::Throughput || print_unusable(row, label)) {
      continue;
    }
    const RowFigures figures = figures_of(row);
    const bool met = figures.ratio >= row.goal;
    std::printf("%-42s %3d %6d %11.1f %11.1f %6.3f %12s %6.3f %6.3f  >= %.2f %s%s\n",
                label.c_str(), row.threads, figures.rounds, figures.library_rate,
                figures.reference_rate, figures.ratio,
                spread_text(figures.ratio_p25, figures.ratio_p75).c_str(), figures.best_ratio,
                figures.cpu_ratio, row.goal, met ? "ok" : "BELOW", figures.noisy ? " (noisy)" : "");
    if (!met) {
      char line[256];
      std::snprintf(line, sizeof line,
                    "%s, %d thread(s): ratio %.3f (goal %.2f), p25..p75 %s, best %.3f, cpu %.3f%s",
                    label.c_str(), row.threads, figures.ratio, row.goal,
                    spread_text(figures.ratio_p25, figures.ratio_p75).c_str(), figures.best_ratio,
                    figures.cpu_ratio, figures.noisy ? " (noisy)" : "");
      below.emplace_back(line);
    }
  }
}

void print_allocating(const std::vector<RatioRow>& rows) {
  std::printf(
      "\n==== The same rows against the bare loop that allocates like the library (a fresh\n"
      "malloc per output buffer, all freed when the group ends), and minor page faults per\n"
      "picture (getrusage ru_minflt of the whole process over one call, median) of the\n"
      "library, the ceiling and the allocating loop. Faults are what fresh memory costs:\n"
      "the kernel maps and zeroes every page the first time it is written.\n\n");
  std::printf("%-42s %3s %11s %6s %12s %10s %10s %10s\n", "row", "thr", "alloc fps", "ratio",
              "p25..p75", "lib flt/p", "ceil flt/p", "alloc flt/p");
  for (const RatioRow& row : rows) {
    const std::string label = row_label(row);
    if (row.kind != RowKind::Throughput || print_unusable(row, label)) {
      continue;
    }
    const RowFigures figures = figures_of(row);
    if (figures.has_allocating) {
      std::printf("%-42s %3d %11.1f %6.3f %12s %10.1f %10.1f %10.1f\n", label.c_str(),
                  row.threads, figures.allocating_rate, figures.allocating_ratio,
                  spread_text(figures.allocating_p25, figures.allocating_p75).c_str(),
                  figures.library_faults, figures.reference_faults, figures.allocating_faults);
    } else {
      std::printf("%-42s %3d %11s %6s %12s %10.1f %10.1f %10s\n", label.c_str(), row.threads, "-",
                  "-", "-", figures.library_faults, figures.reference_faults, "-");
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
    if (print_unusable(row, label)) {
      continue;
    }
    const RowFigures figures = figures_of(row);
    char spread[32];
    std::snprintf(spread, sizeof spread, "%.2f..%.2f", figures.ratio_p25, figures.ratio_p75);
    std::printf("%-42s %3d %5d %14.1f %14.1f %8.2fx %12s\n", label.c_str(), row.threads,
                figures.rounds, figures.library_rate, figures.reference_rate, figures.ratio,
                spread);
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

// Heap in use that a kept-nothing step may still show: FFmpeg's and the
// library's own small allocations that come and go between steps.
constexpr double RESIDENT_TOLERANCE = 4 * MIB;

void print_resident(const std::vector<ResidentRow>& rows, std::vector<std::string>& above) {
  for (const ResidentRow& row : rows) {
    std::printf("\n==== Resident memory: %s, %d thread(s)\n", row.name.c_str(), row.threads);
    if (!row.skipped.empty() || !row.failed.empty()) {
      std::printf("  %s: %s\n", row.failed.empty() ? "skipped" : "FAILED",
                  (row.failed.empty() ? row.skipped : row.failed).c_str());
      continue;
    }
    std::printf(
        "  VmRSS of a fresh child process after each step (read after malloc_trim(0)) and the\n"
        "  C heap's bytes in use (mallinfo2 uordblks + hblkhd). \"kept\" = heap in use above the\n"
        "  reference step (the calling thread's pooled decoder and scaler, nothing else),\n"
        "  judged against what the rule allows at that step (+%.0f MiB, +1%%):\n  %s.\n",
        RESIDENT_TOLERANCE / MIB, row.rule.c_str());
    std::printf("  %-52s %8s %8s %9s %9s %9s\n", "step", "RSS MiB", "+start", "heap MiB", "kept",
                "allowed");
    bool met = true;
    for (const ResidentRow::Step& step : row.steps) {
      std::printf("  %-52s %8.1f %+8.1f %9.1f", step.what.c_str(),
                  static_cast<double>(step.rss) / MIB,
                  static_cast<double>(step.rss - row.baseline) / MIB,
                  static_cast<double>(step.heap) / MIB);
      if (step.bound >= 0) {
        const auto kept = static_cast<double>(step.heap - row.reference_heap);
        const auto allowed = static_cast<double>(step.bound);
        const bool within = kept <= allowed * 1.01 + RESIDENT_TOLERANCE;
        met = met && within;
        std::printf(" %+9.1f %9.1f%s", kept / MIB, allowed / MIB, within ? "" : "  ABOVE");
      }
      std::printf("\n");
    }
    if (!met) {
      above.emplace_back(str_cat("resident memory, ", row.name, ", ", row.threads,
                                 " thread(s): a step keeps more than the rule allows"));
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
      "- FFmpeg loaded: libavcodec %s, libavutil %s, libswscale %s; decoders %s, %s and %s;\n"
      "  H.264 encoder %s.\n",
      version_text(avcodec_version()).c_str(), version_text(avutil_version()).c_str(),
      version_text(swscale_version()).c_str(), decoder_name(AV_CODEC_ID_H264),
      decoder_name(AV_CODEC_ID_HEVC), decoder_name(AV_CODEC_ID_AV1),
      encoder != nullptr ? encoder->name : "(none)");
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
      "- Packets: in memory, made with the test fixture's encode_stream (libx264 / libx265:\n"
      "  moving pictures, groups of 12, 2 B-frames; AV1: groups of 12, no reordering); each row\n"
      "  decodes the first group.\n"
      "- Each row runs on a fresh thread, so the library's per-thread decoder pool and buffer\n"
      "  cache start empty; every side runs once untimed, then rounds of one call per side\n"
      "  (library, ceiling, allocating loop; the order rotated every round) for %.1f s and at\n"
      "  least %d rounds (at most %d)%s.\n"
      "- The bare loops open their decoder once per row (same FFmpeg decoder, thread_type\n"
      "  FF_THREAD_FRAME, thread_count from VANTLE_VIDEO_FFMPEG_THREADS) and flush it with\n"
      "  avcodec_flush_buffers after every group, as the library pools its decoders per thread.\n"
      "- All sides copy each packet into a padded AVPacket and copy the planes (one block per\n"
      "  plane without line padding, else per row) or convert to RGB24 straight into output\n"
      "  buffers of the picture's size plus 256 bytes of slack, never zero-filled.\n"
      "  Ceiling: one scaler for the whole row; the buffers are allocated in the warm-up call\n"
      "  and reused by every later group. Allocating loop: one sws_getContext per call and a\n"
      "  fresh malloc per buffer, all freed inside the timed call, as the library's host frees\n"
      "  them. RGB: SWS_FAST_BILINEAR, sws_setColorspaceDetails from the frame's colour space\n"
      "  and range, destination range 1. The library's responses are released inside the\n"
      "  timed call.\n"
      "- Transcode: avcodec_find_encoder(AV_CODEC_ID_H264), one encoder per call, gop_size 12,\n"
      "  max_b_frames 0, no options, every packet copied once.\n"
      "- Thread passes set VANTLE_VIDEO_FFMPEG_THREADS inside the program; the bare loops use\n"
      "  the same count.\n",
      options.seconds_per_row, options.min_rounds, options.max_rounds,
      options.quick ? " (--quick)" : "");
}

}  // namespace

RowFigures figures_of(const RatioRow& row) {
  const RatioRow::Times& times = row.times;
  const double units = row.units_per_call;
  RowFigures figures;
  figures.rounds = static_cast<int>(std::min(times.library.size(), times.reference.size()));
  figures.library_rate = rate_of(times.library, units);
  figures.reference_rate = rate_of(times.reference, units);
  const std::vector<double> ratios = round_ratios(times.library, times.reference, false);
  figures.ratio = median(ratios);
  figures.ratio_p25 = quantile(ratios, 0.25);
  figures.ratio_p75 = quantile(ratios, 0.75);
  figures.cpu_ratio = median(round_ratios(times.library, times.reference, true));
  const std::vector<double> library_walls = walls(times.library);
  const std::vector<double> reference_walls = walls(times.reference);
  if (!library_walls.empty() && !reference_walls.empty()) {
    figures.best_ratio = *std::min_element(reference_walls.begin(), reference_walls.end()) /
                         *std::min_element(library_walls.begin(), library_walls.end());
  }
  figures.noisy = figures.ratio_p25 > 0 && figures.ratio_p75 / figures.ratio_p25 > NOISY_SPREAD;
  figures.library_faults = faults_per_unit(times.library, units);
  figures.reference_faults = faults_per_unit(times.reference, units);
  figures.has_allocating = !times.allocating.empty();
  if (figures.has_allocating) {
    figures.allocating_rate = rate_of(times.allocating, units);
    const std::vector<double> allocating = round_ratios(times.library, times.allocating, false);
    figures.allocating_ratio = median(allocating);
    figures.allocating_p25 = quantile(allocating, 0.25);
    figures.allocating_p75 = quantile(allocating, 0.75);
    figures.allocating_faults = faults_per_unit(times.allocating, units);
  }
  return figures;
}

void Summary::add(RatioRow row) {
  auto append = [](std::vector<CallTime>& to, const std::vector<CallTime>& from) {
    to.insert(to.end(), from.begin(), from.end());
  };
  for (RatioRow& earlier : rows_) {
    if (earlier.kind == row.kind && earlier.section == row.section && earlier.name == row.name &&
        earlier.threads == row.threads && earlier.skipped.empty() && earlier.failed.empty() &&
        row.skipped.empty() && row.failed.empty()) {
      append(earlier.times.library, row.times.library);
      append(earlier.times.reference, row.times.reference);
      append(earlier.times.allocating, row.times.allocating);
      return;
    }
  }
  rows_.push_back(std::move(row));
}

void Summary::add(MemoryRow row) {
  memory_.push_back(std::move(row));
}

void Summary::add(ResidentRow row) {
  resident_.push_back(std::move(row));
}

bool Summary::any_failed() const {
  return std::any_of(rows_.begin(), rows_.end(),
                     [](const RatioRow& row) { return !row.failed.empty(); }) ||
         std::any_of(memory_.begin(), memory_.end(),
                     [](const MemoryRow& row) { return !row.failed.empty(); }) ||
         std::any_of(resident_.begin(), resident_.end(),
                     [](const ResidentRow& row) { return !row.failed.empty(); });
}

void Summary::print() const {
  std::vector<std::string> below;
  print_throughput(rows_, below);
  print_allocating(rows_);
  print_pool(rows_);
  print_memory(memory_, below);
  print_resident(resident_, below);
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
