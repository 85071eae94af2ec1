// Recycling of released host buffers, through the C interface: a released
// response's buffers serve the next equal request on the thread, with the
// same bytes as fresh ones, and what a thread keeps stays within the largest
// response of its last few calls. Thread exit frees it (LeakSanitizer in the
// sanitizer leg).
#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "common/host_memory.h"
#include "common/host_memory_cache.h"
#include "runtime/owned_response.h"
#include "support/last_error.h"
#include "support/media.h"
#include "support/request_builder.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using testing::encode_stream;
using testing::EncodedStream;
using testing::last_error;
using testing::RequestBuilder;
using testing::StreamSpec;

EncodedStream stream_of(int width, int height) {
  StreamSpec spec;
  spec.width = width;
  spec.height = height;
  spec.frame_count = 6;
  spec.b_frames = 2;
  return encode_stream(spec);
}

struct Decoded {
  runtime::DecodedFrames response;

  std::set<const void*> buffers() const {
    std::set<const void*> addresses{response.frames};
    for (std::size_t i = 0; i < response.frame_count; ++i) {
      for (const RuntimeBytes* bytes : {&response.frames[i].rgb, &response.frames[i].y,
                                        &response.frames[i].u, &response.frames[i].v}) {
        if (bytes->data != nullptr) {
          addresses.insert(bytes->data);
        }
      }
    }
    return addresses;
  }
  std::vector<std::uint8_t> pixels() const {
    std::vector<std::uint8_t> all;
    for (std::size_t i = 0; i < response.frame_count; ++i) {
      for (const RuntimeBytes* bytes : {&response.frames[i].rgb, &response.frames[i].y,
                                        &response.frames[i].u, &response.frames[i].v}) {
        all.insert(all.end(), bytes->data, bytes->data + bytes->len);
      }
    }
    return all;
  }
  // Bytes the response holds: what the thread may keep after releasing it.
  std::size_t bytes() const {
    std::size_t total = response.frame_count * sizeof(RuntimeFrame);
    for (std::size_t i = 0; i < response.frame_count; ++i) {
      const RuntimeFrame& frame = response.frames[i];
      total += frame.rgb.len + frame.y.len + frame.u.len + frame.v.len;
    }
    return total;
  }
};

void decode(RequestBuilder& builder, RuntimePixelFormat format, Decoded& out) {
  RuntimeDecodeRequest request = builder.request(format);
  ASSERT_EQ(vantle_video_runtime_decode(&request, &out.response), 0) << last_error();
}

TEST(HostMemoryCache, ReleasedBuffersServeTheNextEqualRequest) {
  const testing::QuietFfmpegLog quiet;
  const EncodedStream stream = stream_of(96, 64);
  VANTLE_REQUIRE_STREAM(stream);
  for (RuntimePixelFormat format : {RuntimePixelFormat::Rgb, RuntimePixelFormat::Yuv420}) {
    std::thread([&] {
      RequestBuilder builder(stream);
      Decoded first;
      decode(builder, format, first);
      const std::set<const void*> first_buffers = first.buffers();
      const std::vector<std::uint8_t> first_pixels = first.pixels();
      const std::size_t first_bytes = first.bytes();
      vantle_video_runtime_free_response(&first.response);
      EXPECT_EQ(cached_host_bytes(), first_bytes);

      Decoded second;
      decode(builder, format, second);
      EXPECT_EQ(second.buffers(), first_buffers);
      EXPECT_EQ(second.pixels(), first_pixels);
      EXPECT_EQ(cached_host_bytes(), 0u);
    }).join();
  }
}

TEST(HostMemoryCache, KeepsNoMoreThanTheLargestRecentResponse) {
  const testing::QuietFfmpegLog quiet;
  const EncodedStream large = stream_of(320, 240);
  const EncodedStream small = stream_of(32, 16);
  VANTLE_REQUIRE_STREAM(large);
  VANTLE_REQUIRE_STREAM(small);
  std::thread([&] {
    RequestBuilder large_builder(large);
    RequestBuilder small_builder(small);
    Decoded big;
    decode(large_builder, RuntimePixelFormat::Rgb, big);
    const std::size_t big_bytes = big.bytes();
    vantle_video_runtime_free_response(&big.response);
    EXPECT_EQ(cached_host_bytes(), big_bytes);

    // Small calls: the large response stays within the last few calls'
    // window, then the limit falls to the small responses.
    std::size_t small_bytes = 0;
    for (std::size_t call = 1; call <= HOST_CACHE_CALLS; ++call) {
      Decoded little;
      decode(small_builder, RuntimePixelFormat::Yuv420, little);
      small_bytes = little.bytes();
      vantle_video_runtime_free_response(&little.response);
      if (call < HOST_CACHE_CALLS) {
        EXPECT_LE(cached_host_bytes(), big_bytes);
      }
    }
    EXPECT_LE(cached_host_bytes(), small_bytes);
  }).join();
}

TEST(HostMemoryCache, ReleasingOnAnotherThreadKeepsNothingThere) {
  const testing::QuietFfmpegLog quiet;
  const EncodedStream stream = stream_of(96, 64);
  VANTLE_REQUIRE_STREAM(stream);
  std::vector<RuntimeDecodeResponse> responses(8);
  std::thread([&] {
    RequestBuilder builder(stream);
    for (RuntimeDecodeResponse& response : responses) {
      RuntimeDecodeRequest request = builder.request(RuntimePixelFormat::Rgb);
      ASSERT_EQ(vantle_video_runtime_decode(&request, &response), 0) << last_error();
    }
  }).join();
  std::thread([&] {
    for (RuntimeDecodeResponse& response : responses) {
      vantle_video_runtime_free_response(&response);
    }
    EXPECT_EQ(cached_host_bytes(), 0u);
  }).join();
}

// A thread that moves on to other buffer sizes (RGB of one size, then YUV of
// another) serves the new sizes from its cache within a few calls: stale
// sizes are evicted first, never the ones the calls now use.
TEST(HostMemoryCache, NewSizesReplaceStaleOnes) {
  std::thread([] {
    auto call = [](const std::vector<std::size_t>& sizes) {
      std::vector<void*> blocks;
      {
        const HostMemoryCallScope scope;
        for (const std::size_t size : sizes) {
          blocks.push_back(allocate_host_memory(size));
        }
      }
      for (void* block : blocks) {
        free_host_memory(block);
      }
      return std::set<void*>(blocks.begin(), blocks.end());
    };
    const std::vector<std::size_t> rgb(12, 6220800);  // 1080p RGB
    std::vector<std::size_t> yuv;
    for (int frame = 0; frame < 12; ++frame) {
      yuv.insert(yuv.end(), {2073600, 518400, 518400});  // 1080p Y, U, V
    }
    const std::vector<std::size_t> small(12, 691200);  // 640x360 RGB
    for (int i = 0; i < 4; ++i) {
      call(rgb);
      call(small);
    }
    std::set<void*> previous;
    for (std::size_t i = 0; i < 8; ++i) {
      const std::set<void*> now = call(yuv);
      if (i >= HOST_CACHE_CALLS + 1) {
        EXPECT_EQ(now, previous) << "call " << i << " did not reuse the last call's buffers";
      }
      previous = now;
    }
  }).join();
}

// Many host threads that each kept a large response keep no more than the
// process-wide cap together; each thread's share goes when it exits. The
// blocks are never touched, so they cost no resident memory.
TEST(HostMemoryCache, AllThreadsTogetherKeepAtMostTheProcessCap) {
  constexpr std::size_t BLOCK = std::size_t{200} << 20;
  constexpr int THREADS = 4;
  const std::size_t before = cached_host_bytes_in_process();
  std::barrier kept(THREADS + 1);
  std::barrier done(THREADS + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < THREADS; ++i) {
    threads.emplace_back([&] {
      void* block = nullptr;
      {
        const HostMemoryCallScope call;  // a request call that hands out BLOCK bytes
        block = allocate_host_memory(BLOCK);
      }
      free_host_memory(block);
      EXPECT_LE(cached_host_bytes(), BLOCK);
      kept.arrive_and_wait();
      done.arrive_and_wait();
    });
  }
  kept.arrive_and_wait();
  const std::size_t all = cached_host_bytes_in_process() - before;
  EXPECT_LE(all, HOST_CACHE_PROCESS_CAP);
  EXPECT_GE(all, HOST_CACHE_PROCESS_CAP / BLOCK * BLOCK);  // as many as fit are kept
  done.arrive_and_wait();
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(cached_host_bytes_in_process(), before);
}

}  // namespace
}  // namespace vantle
