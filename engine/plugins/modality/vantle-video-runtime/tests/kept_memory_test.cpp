// Memory kept for reuse, through the C interface and the host heap: released
// buffers serve the next request on any thread with the same bytes as fresh
// ones, idle decoders and buffers together stay within one process-wide
// bound, and the host's release and limit calls give everything back,
// whatever thread holds it.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "common/host_memory.h"
#include "common/kept_memory.h"
#include "decoding/decoder_pool.h"
#include "decoding/decoder_counts.h"
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

  // Buffers large enough to be mapped, and so kept when released.
  std::set<const void*> mapped_buffers() const {
    std::set<const void*> addresses;
    for (std::size_t i = 0; i < response.frame_count; ++i) {
      for (const RuntimeBytes* bytes : {&response.frames[i].rgb, &response.frames[i].y,
                                        &response.frames[i].u, &response.frames[i].v}) {
        if (bytes->len + HOST_MEMORY_SLACK >= HOST_MAPPED_MIN) {
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
};

void decode(RequestBuilder& builder, RuntimePixelFormat format, Decoded& out) {
  RuntimeDecodeRequest request = builder.request(format);
  ASSERT_EQ(vantle_video_runtime_decode(&request, &out.response), 0) << last_error();
}

// Restores the default bound and gives back what a test left kept.
class KeptMemory : public ::testing::Test {
 protected:
  void SetUp() override { vantle_video_runtime_release_kept_memory(); }
  void TearDown() override {
    vantle_video_runtime_set_kept_memory_limit(DEFAULT_KEPT_MEMORY_LIMIT);
    vantle_video_runtime_release_kept_memory();
  }
};

// A released response's large buffers serve the next request of another
// thread, with the bytes a fresh buffer gets; after the release call, or
// under a bound of 0, nothing stays kept and the next request maps afresh
// with the same bytes again.
TEST_F(KeptMemory, ReleasedBuffersServeTheNextRequestOfAnyThread) {
  const testing::QuietFfmpegLog quiet;
  const EncodedStream stream = stream_of(640, 360);
  VANTLE_REQUIRE_STREAM(stream);
  enum class Between { Nothing, ReleaseCall, LimitZero };
  for (RuntimePixelFormat format : {RuntimePixelFormat::Rgb, RuntimePixelFormat::Yuv420}) {
    for (Between between : {Between::Nothing, Between::ReleaseCall, Between::LimitZero}) {
      SCOPED_TRACE(::testing::Message() << "format " << static_cast<int>(format) << ", between "
                                      << static_cast<int>(between));
      vantle_video_runtime_set_kept_memory_limit(
          between == Between::LimitZero ? 0 : DEFAULT_KEPT_MEMORY_LIMIT);
      RequestBuilder builder(stream);
      std::set<const void*> first_buffers;
      std::vector<std::uint8_t> first_pixels;
      std::thread([&] {
        Decoded first;
        decode(builder, format, first);
        first_buffers = first.mapped_buffers();
        first_pixels = first.pixels();
      }).join();
      ASSERT_FALSE(first_buffers.empty());
      if (between == Between::ReleaseCall) {
        EXPECT_GT(kept_memory_bytes(), 0u);  // buffers and the idle decoder
        vantle_video_runtime_release_kept_memory();
      }
      if (between != Between::Nothing) {
        EXPECT_EQ(kept_memory_bytes(), 0u);
      }
      std::thread([&] {
        Decoded second;
        decode(builder, format, second);
        EXPECT_EQ(second.pixels(), first_pixels);
        if (between == Between::Nothing) {
          EXPECT_EQ(second.mapped_buffers(), first_buffers);
        }
      }).join();
    }
  }
}

// Sizes used longest ago are given back first: a thread that moves from RGB
// of one size to YUV of another serves the new sizes from what is kept
// within a few calls, and all threads together never keep more than the
// bound.
TEST_F(KeptMemory, StaleSizesGoFirstAndTheBoundHolds) {
  vantle_video_runtime_set_kept_memory_limit(std::uint64_t{96} << 20);
  std::thread([] {
    auto call = [](const std::vector<std::size_t>& sizes) {
      std::vector<void*> blocks;
      {
        const HostMemoryCallScope scope;
        for (const std::size_t size : sizes) {
          blocks.push_back(allocate_host_memory(size));
        }
      }
      {
        const HostMemoryReleaseScope scope;
        for (void* block : blocks) {
          free_host_memory(block);
        }
      }
      EXPECT_LE(kept_memory_bytes(), std::uint64_t{96} << 20);
      return std::set<void*>(blocks.begin(), blocks.end());
    };
    const std::vector<std::size_t> rgb(12, 6220800);  // 1080p RGB
    std::vector<std::size_t> yuv;
    for (int frame = 0; frame < 12; ++frame) {
      yuv.insert(yuv.end(), {2073600, 518400, 518400});  // 1080p Y, U, V
    }
    const std::vector<std::size_t> small(12, 691200);  // 640x360 RGB
    for (int i = 0; i < 3; ++i) {
      call(rgb);
      call(small);
    }
    std::set<void*> previous;
    for (int i = 0; i < 4; ++i) {
      const std::set<void*> now = call(yuv);
      if (i >= 1) {
        EXPECT_EQ(now, previous) << "call " << i << " did not reuse the last call's buffers";
      }
      previous = now;
    }
  }).join();
}

// Idle decoders of threads that still live count against the bound, and the
// release call from another thread frees them; a bound of 0 keeps none.
TEST_F(KeptMemory, IdleDecodersOfLiveThreadsCountAndAreReleased) {
  const testing::QuietFfmpegLog quiet;
  const EncodedStream stream = stream_of(320, 240);
  VANTLE_REQUIRE_STREAM(stream);
  constexpr int THREADS = 3;
  const std::size_t live_before = live_decoders();
  for (const std::uint64_t limit : {std::uint64_t{0}, DEFAULT_KEPT_MEMORY_LIMIT}) {
    SCOPED_TRACE(limit);
    vantle_video_runtime_set_kept_memory_limit(limit);
    std::barrier decoded(THREADS + 1);
    std::barrier released(THREADS + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
      threads.emplace_back([&] {
        RequestBuilder builder(stream);
        Decoded frames;
        decode(builder, RuntimePixelFormat::Yuv420, frames);
        decoded.arrive_and_wait();
        released.arrive_and_wait();
        EXPECT_EQ(thread_decoder_pool().size(), 0u);
      });
    }
    decoded.arrive_and_wait();
    EXPECT_EQ(live_decoders() - live_before, limit == 0 ? 0u : THREADS);
    EXPECT_EQ(kept_memory_bytes() == 0, limit == 0);
    vantle_video_runtime_release_kept_memory();
    EXPECT_EQ(live_decoders(), live_before);
    EXPECT_EQ(kept_memory_bytes(), 0u);
    released.arrive_and_wait();
    for (std::thread& thread : threads) {
      thread.join();
    }
  }
}

TEST(KeptMemoryDeathTest, ReleasingABufferTwiceAborts) {
  for (const std::size_t size : {std::size_t{100}, HOST_MAPPED_MIN}) {
    EXPECT_DEATH(
        {
          void* block = allocate_host_memory(size);
          free_host_memory(block);
          free_host_memory(block);
        },
        "released twice|use-after-poison|heap-use-after-free");
  }
}

}  // namespace
}  // namespace vantle
