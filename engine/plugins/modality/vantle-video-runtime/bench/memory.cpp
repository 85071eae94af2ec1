// The memory rows. Each run is a process of its own (this program again):
// `threads` host threads each decode the 4 groups of an x264 1080p clip twice
// as RGB at the picture's own size, with one codec thread, releasing every
// result, then wait on a barrier while the main thread reads VmRSS. The
// library's runs set the kept-memory limit (or leave its default) and read
// VmRSS again after one release call; the bare loop's runs open a decoder per
// group and free each converted picture at once, as a PyAV-style host does.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "bench.h"

namespace vantle::bench {

namespace {

constexpr int CLIP_GROUPS = 4;
constexpr int PASSES = 2;
constexpr double MIB = 1 << 20;

long long resident_bytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::atoll(line.c_str() + 6) * 1024;
    }
  }
  return -1;
}

struct Run {
  const char* name;
  long long limit;  // -1: the library's default; -2: the bare loop
};
constexpr Run RUNS[] = {
    {"bare loop", -2}, {"default (256 MiB)", -1}, {"0", 0}, {"1 GiB", 1LL << 30}};

struct Figures {
  double wall = 0;
  double cpu = 0;
  double idle = 0;      // MiB
  double released = 0;  // MiB, after the release call
};

std::expected<Figures, std::string> run_child(int clip, int threads, long long limit) {
  // The shell would read /proc/self/exe as its own.
  char program[4096] = {};
  if (readlink("/proc/self/exe", program, sizeof program - 1) <= 0) {
    return std::unexpected("cannot find this program");
  }
  char command[4200];
  std::snprintf(command, sizeof command, "'%s' bench --memory-child %d,%d,%lld", program, clip,
                threads, limit);
  FILE* child = popen(command, "r");
  char line[256] = {};
  const bool read = child != nullptr && std::fgets(line, sizeof line, child) != nullptr;
  Figures f;
  if (child == nullptr || pclose(child) != 0 || !read ||
      std::sscanf(line, "%lf %lf %lf %lf", &f.wall, &f.cpu, &f.idle, &f.released) != 4) {
    return std::unexpected(std::string("the run failed: ") + line);
  }
  return f;
}

const char* verdict(bool met) {
  return met ? "met" : "**not met**";
}

}  // namespace

int memory_child(const std::string& spec) {
  int clip = -1;
  int threads = 0;
  long long limit = -1;
  if (std::sscanf(spec.c_str(), "%d,%d,%lld", &clip, &threads, &limit) != 3 || threads < 1) {
    return 2;
  }
  setenv("VANTLE_VIDEO_FFMPEG_THREADS", "1", 1);
  // The clip comes from the parent in a memory file: length, bytes, ...
  Source source;
  // Opened anew, so that each process reads from the start.
  std::FILE* in = std::fopen(("/proc/self/fd/" + std::to_string(clip)).c_str(), "rb");
  std::uint64_t length = 0;
  while (in != nullptr && std::fread(&length, sizeof length, 1, in) == 1) {
    source.bytes.emplace_back(length);
    if (std::fread(source.bytes.back().data(), 1, length, in) != length) {
      return 1;
    }
  }
  if (in != nullptr) {
    std::fclose(in);
  }
  source.groups.resize(CLIP_GROUPS);
  for (std::size_t i = 0; i < source.bytes.size(); ++i) {
    source.groups[i * CLIP_GROUPS / source.bytes.size()].push_back(
        {source.bytes[i].data(), source.bytes[i].size()});
  }
  if (limit >= 0) {
    vantle_video_runtime_set_kept_memory_limit(static_cast<std::uint64_t>(limit));
  }
  std::mutex mutex;
  std::condition_variable changed;
  int done = 0;
  bool leave = false;
  bool failed = false;
  const Stopwatch watch;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&] {
      bool ok = true;
      for (int pass = 0; pass < PASSES; ++pass) {
        for (std::size_t group = 0; group < CLIP_GROUPS; ++group) {
          if (limit != -2) {
            ok = library_call(source, group, {}).has_value() && ok;
            continue;
          }
          auto fresh = Ceiling::open(source.codec, {}, 1, false);
          ok = fresh && fresh->run(source.groups[group], {}).has_value() && ok;
        }
      }
      std::unique_lock lock(mutex);
      failed = failed || !ok;
      ++done;
      changed.notify_all();
      changed.wait(lock, [&] { return leave; });
    });
  }
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return done == threads; });
  const Elapsed spent = watch.elapsed();
  const long long idle = resident_bytes();
  if (limit != -2) {
    vantle_video_runtime_release_kept_memory();
  }
  const long long released = resident_bytes();
  leave = true;
  changed.notify_all();
  lock.unlock();
  for (std::thread& worker : workers) {
    worker.join();
  }
  std::printf("%.6f %.6f %.3f %.3f\n", spent.wall, spent.cpu, static_cast<double>(idle) / MIB,
              static_cast<double>(released) / MIB);
  return failed ? 1 : 0;
}

void print_memory_rows(const std::vector<int>& host_threads, int rounds) {
  const Source clip = make_source(RuntimeCodec::H264, 1080, CLIP_GROUPS, false);
  const int file = memfd_create("vantle-bench-clip", 0);
  bool written = clip.error.empty() && file >= 0;
  for (const std::vector<std::uint8_t>& bytes : clip.bytes) {
    const std::uint64_t length = bytes.size();
    written = written && write(file, &length, sizeof length) == sizeof length &&
              write(file, bytes.data(), length) == static_cast<ssize_t>(length);
  }
  std::printf(
      "\nMemory rows: N host threads each decode the %d groups of an x264 1920x1080 clip (veryfast,"
      " %d-picture groups, no B-frames)\n%d times as RGB at its own size, 1 codec thread, each "
      "result released; then they idle while VmRSS is read. Bare loop:\na fresh decoder per "
      "group, each picture converted into a malloc'ed buffer freed at once. Each run is a process"
      " of\nits own; medians of %d interleaved rounds (÷: library / bare loop, CPU: the same on "
      "process CPU time).\n\n",
      CLIP_GROUPS, GROUP_PICTURES, PASSES, rounds);
  if (!written) {
    std::printf("memory rows skipped: %s\n",
                clip.error.empty() ? "no memory file" : clip.error.c_str());
    return;
  }
  std::printf(
      "| host threads | kept-memory limit | pictures/s library / bare | ÷ | CPU ÷ | idle RSS MiB "
      "library / bare | ÷ | library RSS after release | targets |\n"
      "|---:|---|---:|---:|---:|---:|---:|---:|---|\n");
  constexpr std::size_t RUN_COUNT = std::size(RUNS);
  for (const int threads : host_threads) {
    std::vector<Figures> figures[RUN_COUNT];
    for (int round = 0; round < rounds; ++round) {
      for (std::size_t k = 0; k < RUN_COUNT; ++k) {
        const std::size_t run = (k + static_cast<std::size_t>(round)) % RUN_COUNT;
        std::fprintf(stderr, "memory rows: %d host threads, %s, round %d ...\n", threads,
                     RUNS[run].name, round + 1);
        auto measured = run_child(file, threads, RUNS[run].limit);
        if (!measured) {
          std::printf("| %d | %s | FAILED: %s |\n", threads, RUNS[run].name,
                      measured.error().c_str());
          return;
        }
        figures[run].push_back(*measured);
      }
    }
    auto median = [&](std::size_t run, auto field) {
      std::vector<double> values;
      for (std::size_t i = 0; i < figures[run].size(); ++i) {
        values.push_back(field(figures[run][i], figures[0][i]));
      }
      return quantile(values, 0.5);
    };
    const double pictures = threads * PASSES * CLIP_GROUPS * GROUP_PICTURES;
    const double bare_rate =
        pictures / median(0, [](const Figures& f, const Figures&) { return f.wall; });
    const double bare_idle = median(0, [](const Figures& f, const Figures&) { return f.idle; });
    for (std::size_t run = 1; run < RUN_COUNT; ++run) {
      const double rate =
          pictures / median(run, [](const Figures& f, const Figures&) { return f.wall; });
      const double ratio =
          median(run, [](const Figures& f, const Figures& b) { return b.wall / f.wall; });
      const double cpu =
          median(run, [](const Figures& f, const Figures& b) { return b.cpu / f.cpu; });
      const double idle = median(run, [](const Figures& f, const Figures&) { return f.idle; });
      const double released =
          median(run, [](const Figures& f, const Figures&) { return f.released; });
      char targets[256];
      const double speed = RUNS[run].limit == 0                 ? 0
                           : RUNS[run].limit < 0 && threads > 2 ? 0.90
                                                                : 0.95;
      if (RUNS[run].limit < 0) {
        std::snprintf(targets, sizeof targets, "idle ≤ bare + 288 MiB: %s; ÷ ≥ %.2f: %s (CPU: %s)",
                      verdict(idle <= bare_idle + 288), speed, verdict(ratio >= speed),
                      verdict(cpu >= speed));
      } else if (RUNS[run].limit == 0) {
        std::snprintf(targets, sizeof targets, "after release ≤ 1.2 × bare + 16 MiB: %s",
                      verdict(released <= 1.2 * bare_idle + 16));
      } else {
        std::snprintf(targets, sizeof targets, "÷ ≥ %.2f: %s (CPU: %s)", speed,
                      verdict(ratio >= speed), verdict(cpu >= speed));
      }
      std::printf("| %d | %s | %.1f / %.1f | %.3f | %.3f | %.0f / %.0f | %.2f | %.0f | %s |\n",
                  threads, RUNS[run].name, rate, bare_rate, ratio, cpu, idle, bare_idle,
                  idle / bare_idle, released, targets);
    }
    std::fflush(stdout);
  }
}

}  // namespace vantle::bench
