// The shared library loaded and unloaded again and again, as a host that
// loads its plug-ins on demand does, while threads with pooled decoders come
// and go: in every other cycle all of them end before the unload and the
// library must really leave the process; in the others one ends after it
// (its pool is freed by code of a library the host has already closed).
// Released 1080p RGB buffers are kept for reuse when the library goes: the
// unload must give them back. Under the sanitizer leg and valgrind this also
// shows leaks per cycle.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif

#include "common/sanitizer.h"
#include "support/media.h"
#include "support/request_builder.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using testing::encode_stream;
using testing::EncodedStream;
using testing::RequestBuilder;
using testing::StreamSpec;

// The exports as a host resolves them.
struct LoadedLibrary {
  void* handle = nullptr;
  decltype(&vantle_video_runtime_decode) decode = nullptr;
  decltype(&vantle_video_runtime_transcode_h264) transcode = nullptr;
  decltype(&vantle_video_runtime_free_response) free_response = nullptr;
  decltype(&vantle_video_runtime_free_transcode_response) free_transcode = nullptr;

  bool load() {
    handle = dlopen(VANTLE_RUNTIME_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
      return false;
    decode = reinterpret_cast<decltype(decode)>(dlsym(handle, "vantle_video_runtime_decode"));
    transcode =
        reinterpret_cast<decltype(transcode)>(dlsym(handle, "vantle_video_runtime_transcode_h264"));
    free_response = reinterpret_cast<decltype(free_response)>(
        dlsym(handle, "vantle_video_runtime_free_response"));
    free_transcode = reinterpret_cast<decltype(free_transcode)>(
        dlsym(handle, "vantle_video_runtime_free_transcode_response"));
    return decode && transcode && free_response && free_transcode;
  }
};

#ifdef VANTLE_ADDRESS_SANITIZER
constexpr bool ADDRESS_SANITIZER = true;
#else
constexpr bool ADDRESS_SANITIZER = false;
#endif

// Memcheck, like AddressSanitizer, holds what the process frees in a
// quarantine of its own, so resident memory says nothing there.
bool freed_memory_is_held() {
#if __has_include(<valgrind/valgrind.h>)
  if (RUNNING_ON_VALGRIND) {
    return true;
  }
#endif
  return ADDRESS_SANITIZER;
}

long resident_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return 0;
}

// A gate the main thread opens after it has closed the library.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = false;
};

TEST(LibraryUnload, RepeatedLoadAndUnloadWhileThreadsHoldPooledDecoders) {
  testing::QuietFfmpegLog quiet;
  std::vector<EncodedStream> streams;
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
    StreamSpec spec;
    spec.codec = codec;
    spec.frame_count = 4;
    streams.push_back(encode_stream(spec));
    VANTLE_REQUIRE_STREAM(streams.back());
  }
  std::vector<RuntimeDecodeRequest> requests;
  std::vector<RuntimeTranscodeRequest> transcodes;
  std::vector<std::unique_ptr<RequestBuilder>> builders;
  for (const EncodedStream& stream : streams) {
    builders.push_back(std::make_unique<RequestBuilder>(stream));
    requests.push_back(builders.back()->request(RuntimePixelFormat::Rgb, {1}, 1920, 1080));
    transcodes.push_back(builders.back()->transcode_request({0, 2}));
  }

  constexpr int kCycles = 12;
  std::atomic<int> failures = 0;
  long resident_after_first_unload = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    LoadedLibrary library;
    ASSERT_TRUE(library.load()) << dlerror();
    // Each thread decodes every codec (its pool then holds three decoders)
    // and transcodes once.
    auto work = [&] {
      for (std::size_t i = 0; i < requests.size(); ++i) {
        RuntimeDecodeResponse response{};
        if (library.decode(&requests[i], &response) != 0 || response.frame_count != 1)
          ++failures;
        library.free_response(&response);
      }
      RuntimeTranscodeResponse transcoded{};
      if (library.transcode(&transcodes[cycle % transcodes.size()], &transcoded) != 0)
        ++failures;
      library.free_transcode(&transcoded);
    };
    std::thread before(work);
    before.join();
    if (cycle % 2 == 0) {
      // Every thread that used it has ended: the library really goes, and the
      // next cycle loads it afresh.
      ASSERT_EQ(dlclose(library.handle), 0) << dlerror();
      EXPECT_EQ(dlopen(VANTLE_RUNTIME_LIBRARY, RTLD_NOW | RTLD_NOLOAD), nullptr) << cycle;
      // Three 6 MB buffers were kept at every unload: had they stayed, five
      // more unloads would leave 90 MB behind.
      if (cycle == 0) {
        resident_after_first_unload = resident_kib();
      } else if (cycle == kCycles - 2 && !freed_memory_is_held()) {
        EXPECT_LT(resident_kib() - resident_after_first_unload, 24 * 1024);
      }
      continue;
    }
    Gate gate;
    std::atomic<bool> done = false;
    std::thread after([&] {
      work();
      done = true;
      gate.wait();
    });
    while (!done)
      std::this_thread::yield();
    // The host is done with the plug-in while one thread still lives with
    // decoders in its pool; that thread ends only afterwards, running the
    // pool's clean-up from a library the host has closed (the C library keeps
    // it mapped until then).
    ASSERT_EQ(dlclose(library.handle), 0) << dlerror();
    gate.open();
    after.join();
  }
  EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace vantle
