// Memory kept for reuse, through the C interface and the host heap: released
// buffers serve the next request on any thread with the same bytes as fresh
// ones, idle decoders and buffers together stay within one process-wide
// bound, and the host's release and limit calls give everything back,
// whatever thread holds it.
#include <gtest/gtest.h>

#include <barrier>
#include <cstdint>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "common/ffmpeg_setup.h"
#include "common/host_memory.h"
#include "common/kept_memory.h"
#include "decoding/decoder_pool.h"
#include "decoding/decoder_counts.h"
#include "decoding/packet_decoder.h"
#include "decoding/runtime_codec.h"
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

// Every block a call frees is kept at its end, also one another thread
// took, of a length the call never took, beside one it did take or alone.
TEST_F(KeptMemory, ACallKeepsEveryBlockItFrees) {
  for (const bool takes_another : {true, false}) {
    SCOPED_TRACE(takes_another ? "beside a block it took" : "on its own");
    vantle_video_runtime_release_kept_memory();
    void* earlier = allocate_host_memory(std::size_t{2} << 20);
    std::thread([takes_another, earlier] {
      {
        const HostMemoryCallScope scope;
        if (takes_another) {
          free_host_memory(allocate_host_memory(std::size_t{1} << 20));
        }
        free_host_memory(earlier);
      }
      EXPECT_GE(kept_memory_bytes(), (std::size_t{2} << 20) + (takes_another ? 1u << 20 : 0u));
    }).join();
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
        const HostMemoryCallScope scope;
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

// An idle decoder counts with the blocks its pictures hold, which it gives
// back when it closes, and its tables' estimate; a fresh decoder of the same
// stream takes those blocks again. libdav1d's pictures are FFmpeg's own: its
// idle decoders keep the estimate and give the store nothing.
TEST_F(KeptMemory, IdleDecodersCountThePicturesTheyHold) {
  const testing::QuietFfmpegLog quiet;
  constexpr std::uint64_t TABLES = std::uint64_t{1} << 20;
  struct Case {
    RuntimeCodec codec;
    const char* threads;
    bool pictures_ours;
  };
  const Case cases[] = {{RuntimeCodec::H264, "1", true},
                        {RuntimeCodec::H264, "3", true},
                        {RuntimeCodec::H265, "1", true},
                        {RuntimeCodec::Av1, "1", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << name(c.codec) << ", threads " << c.threads);
    StreamSpec spec;
    spec.codec = c.codec;
    spec.width = 320;
    spec.height = 240;
    spec.frame_count = 6;
    spec.b_frames = 2;
    const EncodedStream stream = encode_stream(spec);
    if (stream.encoder_missing) {
      continue;
    }
    ASSERT_TRUE(stream.ok()) << stream.error;
    const std::vector<ByteView> packets(stream.packets.begin(), stream.packets.end());
    setenv(THREAD_COUNT_VARIABLE, c.threads, 1);
    // What is kept while the run's decoder is idle, and once it is closed.
    struct Kept {
      std::uint64_t idle = 0;
      std::uint64_t closed = 0;
    };
    auto run = [&](Kept& kept) {
      {
        auto frames = decode_packets(c.codec, stream.extradata, packets);
        ASSERT_TRUE(frames.has_value()) << frames.error();
        int count = 0;
        for (; auto frame = frames->next(); ++count) {
          ASSERT_TRUE(frame->has_value()) << frame->error();
        }
        EXPECT_EQ(count, stream.frame_count);
      }
      kept.idle = kept_memory_bytes();
      // Taken out of the pool and closed, as a run that cannot reuse it does.
      EXPECT_TRUE(thread_decoder_pool()
                      .take(DecoderPoolKey::for_decode(c.codec, stream.extradata, packets[0]))
                      .has_value());
      kept.closed = kept_memory_bytes();
    };
    vantle_video_runtime_release_kept_memory();
    Kept first;
    run(first);
    if (c.pictures_ours) {
      EXPECT_GT(first.closed, 0u);
      EXPECT_EQ(first.idle, TABLES + first.closed);
    } else {
      EXPECT_EQ(first.closed, 0u);
      EXPECT_GT(first.idle, TABLES);
    }
    if (c.threads == std::string_view("1")) {
      // As many pictures as before, all from the blocks kept: nothing mapped anew.
      Kept second;
      run(second);
      EXPECT_EQ(second.idle, first.idle);
      EXPECT_EQ(second.closed, first.closed);
    }
  }
  unsetenv(THREAD_COUNT_VARIABLE);
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
