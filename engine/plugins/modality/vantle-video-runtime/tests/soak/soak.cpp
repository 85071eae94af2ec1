// Soak: many mixed calls through the C interface, first on one thread, then
// on eight threads that come and go, with the process's resident memory
// sampled along the way. Prints the curve and fails when memory keeps
// growing after the warm-up.
//
//   vantle_soak [CALLS_PER_PHASE] [ALLOWED_GROWTH_MIB]     default 10000, 8
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/media.h"
#include "support/request_builder.h"
#include "vantle_video_runtime.h"

namespace {

using vantle::testing::EncodedStream;
using vantle::testing::RequestBuilder;
using vantle::testing::StreamSpec;

double resident_mib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

struct Mix {
  std::vector<RuntimeDecodeRequest> decodes;  // YUV420 and scaled RGB
  std::vector<RuntimeDecodeRequest> indexed;  // H.264, H.265
  std::vector<RuntimeTranscodeRequest> transcodes;
  std::vector<RuntimeDecodeRequest> broken;  // fail part-way

  // Call number i of the mix; false when a call that should succeed failed.
  bool call(std::size_t i) const {
    switch (i % 4) {
      case 0:
      case 1: {
        RuntimeDecodeResponse response{};
        const RuntimeDecodeRequest& request = decodes[(i / 4) % decodes.size()];
        const bool ok = vantle_video_runtime_decode(&request, &response) == 0;
        vantle_video_runtime_free_response(&response);
        return ok;
      }
      case 2: {
        RuntimeIndexedResponse response{};
        const bool ok =
            vantle_video_runtime_decode_indexed(&indexed[(i / 4) % indexed.size()], &response) == 0;
        vantle_video_runtime_free_indexed_response(&response);
        if (i % 16 == 2) {
          RuntimeDecodeResponse failed{};
          if (vantle_video_runtime_decode(&broken[(i / 16) % broken.size()], &failed) == 0) {
            vantle_video_runtime_free_response(&failed);
          }
        }
        return ok;
      }
      default: {
        RuntimeTranscodeResponse response{};
        const bool ok = vantle_video_runtime_transcode_h264(
                            &transcodes[(i / 4) % transcodes.size()], &response) == 0;
        vantle_video_runtime_free_transcode_response(&response);
        return ok;
      }
    }
  }
};

struct Sample {
  std::size_t calls;
  double mib;
};

// Growth from the end of the warm-up (the first fifth of the calls) to the
// highest later sample.
double growth_after_warm_up(const std::vector<Sample>& samples, std::size_t calls) {
  double base = -1, peak = 0;
  for (const Sample& s : samples) {
    if (s.calls >= calls / 5 && base < 0)
      base = s.mib;
    if (base >= 0)
      peak = std::max(peak, s.mib);
  }
  return base < 0 ? 0 : peak - base;
}

void print_curve(const char* phase, const std::vector<Sample>& samples) {
  std::printf("%s: calls -> resident MiB\n", phase);
  for (const Sample& s : samples)
    std::printf("  %6zu %8.1f\n", s.calls, s.mib);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t calls = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  const double allowed = argc > 2 ? std::strtod(argv[2], nullptr) : 8.0;
  vantle::testing::QuietFfmpegLog quiet;

  std::vector<EncodedStream> streams;
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
    StreamSpec spec;
    spec.codec = codec;
    spec.width = 160;
    spec.height = 96;
    spec.frame_count = 8;
    spec.b_frames = codec == RuntimeCodec::Av1 ? 0 : 2;
    streams.push_back(vantle::testing::encode_stream(spec));
    if (!streams.back().ok()) {
      std::fprintf(stderr, "test media: %s\n", streams.back().error.c_str());
      return 1;
    }
  }
  std::vector<std::unique_ptr<RequestBuilder>> builders;
  Mix mix;
  for (const EncodedStream& stream : streams) {
    RequestBuilder& builder = *builders.emplace_back(std::make_unique<RequestBuilder>(stream));
    mix.decodes.push_back(builder.request(RuntimePixelFormat::Yuv420, {0, 4, 7}));
    mix.decodes.push_back(builder.request(RuntimePixelFormat::Rgb, {1, 2}, 96, 64));
    if (stream.codec != RuntimeCodec::Av1) {
      mix.indexed.push_back(builder.request(RuntimePixelFormat::Yuv420));
    }
    mix.transcodes.push_back(builder.transcode_request({0, 5}));
    RequestBuilder& broken = *builders.emplace_back(std::make_unique<RequestBuilder>(stream));
    broken.packets()[3].assign(broken.packets()[3].size(), 0xff);
    mix.broken.push_back(broken.request(RuntimePixelFormat::Yuv420));
  }

  std::atomic<std::size_t> failures = 0;
  const std::size_t step = std::max<std::size_t>(calls / 40, 1);

  std::vector<Sample> one_thread{{0, resident_mib()}};
  for (std::size_t i = 0; i < calls; ++i) {
    if (!mix.call(i))
      ++failures;
    if ((i + 1) % step == 0)
      one_thread.push_back({i + 1, resident_mib()});
  }

  // Rounds of eight threads that each make their share of the calls and end.
  constexpr std::size_t kThreads = 8;
  const std::size_t rounds = 20;
  const std::size_t per_thread = std::max<std::size_t>(calls / rounds / kThreads, 1);
  std::vector<Sample> threads{{0, resident_mib()}};
  for (std::size_t round = 0; round < rounds; ++round) {
    std::vector<std::thread> pool;
    for (std::size_t t = 0; t < kThreads; ++t) {
      pool.emplace_back([&, t] {
        for (std::size_t i = 0; i < per_thread; ++i) {
          if (!mix.call(t * 7 + i))
            ++failures;
        }
      });
    }
    for (std::thread& thread : pool)
      thread.join();
    threads.push_back({(round + 1) * kThreads * per_thread, resident_mib()});
  }

  print_curve("one thread", one_thread);
  print_curve("eight threads, new ones every round", threads);
  const double growth_one = growth_after_warm_up(one_thread, calls);
  const double growth_threads = growth_after_warm_up(threads, rounds * kThreads * per_thread);
  std::printf("growth after warm-up: one thread %.1f MiB, eight threads %.1f MiB (allowed %.1f)\n",
              growth_one, growth_threads, allowed);
  std::printf("failed calls that should succeed: %zu\n", failures.load());
  return failures == 0 && growth_one <= allowed && growth_threads <= allowed ? 0 : 1;
}
