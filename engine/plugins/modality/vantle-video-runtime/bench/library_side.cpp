#include <malloc.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_rows.h"

namespace vantle::bench {

namespace {

std::string last_error() {
  const RuntimeBytes text = vantle_video_runtime_last_error();
  return std::string(reinterpret_cast<const char*>(text.data), text.len);
}

// Resident bytes of the process, as the host's monitoring sees them.
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

// Bytes the C heap has handed out and not had back; -1 when malloc is not
// glibc's (an allocator preloaded in its place).
long long heap_bytes() {
  const struct mallinfo2 info = mallinfo2();
  if (info.arena == 0 && info.hblkhd == 0) {
    return -1;
  }
  return static_cast<long long>(info.uordblks + info.hblkhd);
}

// Calls per host thread: a burst whose responses are held together, then
// the same number released one by one.
constexpr int BURST = 4;

}  // namespace

std::expected<std::size_t, std::string> library_call(const Group& group, const ceiling::Job& job) {
  const auto width = static_cast<std::uint32_t>(job.width);
  const auto height = static_cast<std::uint32_t>(job.height);
  switch (job.work) {
    case ceiling::Work::Rgb:
    case ceiling::Work::Yuv420: {
      const RuntimeDecodeRequest request = group.request(
          job.work == ceiling::Work::Rgb ? RuntimePixelFormat::Rgb : RuntimePixelFormat::Yuv420,
          width, height);
      RuntimeDecodeResponse response{};
      if (vantle_video_runtime_decode(&request, &response) != 0) {
        return std::unexpected("vantle_video_runtime_decode: " + last_error());
      }
      const std::size_t count = response.frame_count;
      vantle_video_runtime_free_response(&response);
      return count;
    }
    case ceiling::Work::Indexed: {
      const RuntimeDecodeRequest request = group.request(RuntimePixelFormat::Yuv420);
      RuntimeIndexedResponse response{};
      if (vantle_video_runtime_decode_indexed(&request, &response) != 0) {
        return std::unexpected("vantle_video_runtime_decode_indexed: " + last_error());
      }
      const std::size_t count = response.frame_count;
      vantle_video_runtime_free_indexed_response(&response);
      return count;
    }
    case ceiling::Work::Transcode:
      break;
  }
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < group.packets.size(); ++i) {
    positions.push_back(i);
  }
  RuntimeTranscodeRequest request{};
  request.decode = group.request(RuntimePixelFormat::Yuv420);
  request.decode.selected_positions = positions.data();
  request.decode.selected_position_count = positions.size();
  request.frame_rate_num = 25;
  request.frame_rate_den = 1;
  RuntimeTranscodeResponse response{};
  if (vantle_video_runtime_transcode_h264(&request, &response) != 0) {
    return std::unexpected("vantle_video_runtime_transcode_h264: " + last_error());
  }
  const std::size_t count = response.access_unit_count;
  vantle_video_runtime_free_transcode_response(&response);
  return count;
}

int resident_child(int host_threads) {
  // Encoded on a thread of its own, so that the encoder's heap stays out of
  // the arenas the figure reads.
  const Group* made = nullptr;
  std::thread([&] { made = &bench_group(RuntimeCodec::H264, 1080); }).join();
  if (!made->error.empty()) {
    std::fprintf(stderr, "%s\n", made->error.c_str());
    return 1;
  }
  const Group& group = *made;
  malloc_trim(0);
  const long long rss_start = resident_bytes();
  const long long heap_start = heap_bytes();
  std::mutex mutex;
  std::condition_variable changed;
  int done = 0;
  bool leave = false;
  bool failed = false;
  std::vector<std::thread> threads;
  for (int t = 0; t < host_threads; ++t) {
    threads.emplace_back([&] {
      const RuntimeDecodeRequest request = group.request(RuntimePixelFormat::Rgb);
      std::vector<RuntimeDecodeResponse> held(BURST);
      bool ok = true;
      for (RuntimeDecodeResponse& response : held) {
        ok = vantle_video_runtime_decode(&request, &response) == 0 && ok;
      }
      for (RuntimeDecodeResponse& response : held) {
        vantle_video_runtime_free_response(&response);
      }
      for (int i = 0; i < BURST; ++i) {
        RuntimeDecodeResponse response{};
        ok = vantle_video_runtime_decode(&request, &response) == 0 && ok;
        vantle_video_runtime_free_response(&response);
      }
      std::unique_lock lock(mutex);
      failed = failed || !ok;
      ++done;
      changed.notify_all();
      changed.wait(lock, [&] { return leave; });
    });
  }
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return done == host_threads; });
  const long long rss_idle = resident_bytes();
  const long long heap_idle = heap_bytes();
  leave = true;
  changed.notify_all();
  lock.unlock();
  for (std::thread& thread : threads) {
    thread.join();
  }
  const long long rss_exit = resident_bytes();
  const long long heap_exit = heap_bytes();
  if (failed) {
    std::fprintf(stderr, "a decode failed\n");
    return 1;
  }
  std::printf("%lld %lld %lld %lld %lld %lld\n", rss_start, heap_start, rss_idle, heap_idle,
              rss_exit, heap_exit);
  return 0;
}

void print_resident_table(const char* program, int codec_threads) {
  std::printf(
      "\nResident memory after releases: each host thread makes %d RGB calls on an H.264 "
      "1920x1080 group\nholding the responses, releases them, makes %d more each released at "
      "once, then idles\n(VmRSS; C heap in use, mallinfo2; MiB; %d codec thread%s)\n\n",
      BURST, BURST, codec_threads, codec_threads == 1 ? "" : "s");
  std::printf(
      "| host threads | start RSS / heap | threads idle RSS / heap | threads exited RSS / heap "
      "|\n");
  std::printf("|---:|---:|---:|---:|\n");
  auto mib = [](long long bytes) {
    return bytes < 0 ? std::string("–") : std::to_string((bytes + (1 << 19)) >> 20);
  };
  for (const int host_threads : {1, 2, 8}) {
    const std::string command = std::string(program) + " --resident-child " +
                                std::to_string(host_threads) + " --threads " +
                                std::to_string(codec_threads);
    FILE* child = popen(command.c_str(), "r");
    char line[512] = {};
    const bool read = child != nullptr && std::fgets(line, sizeof line, child) != nullptr;
    const int status = child != nullptr ? pclose(child) : -1;
    long long v[6] = {};
    if (!read || status != 0 ||
        std::sscanf(line, "%lld %lld %lld %lld %lld %lld", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5]) != 6) {
      std::printf("| %d | FAILED: %s | | |\n", host_threads, line);
      continue;
    }
    std::printf("| %d | %s / %s | %s / %s | %s / %s |\n", host_threads, mib(v[0]).c_str(),
                mib(v[1]).c_str(), mib(v[2]).c_str(), mib(v[3]).c_str(), mib(v[4]).c_str(),
                mib(v[5]).c_str());
  }
}

}  // namespace vantle::bench
