// Many host threads at once, as a host engine calls: the three exports mixed
// on three codecs, FFmpeg codec threads inside, threads ending while their
// pools hold decoders, responses released on another thread, and another
// thread giving back kept memory and changing its bound all the while. Every result
// must equal what one thread alone gets. The ThreadSanitizer leg runs this
// program on its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "support/last_error.h"
#include "support/media.h"
#include "support/reference_decode.h"
#include "support/request_builder.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using namespace testing;
using Bytes = std::vector<std::uint8_t>;

enum class Export { DecodeYuv420, DecodeRgb, Indexed, Transcode };

// A filled response of any export, handed between threads.
using AnyResponse =
    std::variant<RuntimeDecodeResponse, RuntimeIndexedResponse, RuntimeTranscodeResponse>;

void release(AnyResponse& response) {
  if (auto* decode = std::get_if<RuntimeDecodeResponse>(&response)) {
    vantle_video_runtime_free_response(decode);
  } else if (auto* indexed = std::get_if<RuntimeIndexedResponse>(&response)) {
    vantle_video_runtime_free_indexed_response(indexed);
  } else {
    vantle_video_runtime_free_transcode_response(&std::get<RuntimeTranscodeResponse>(response));
  }
}

void append(Bytes& out, const RuntimeBytes& buffer) {
  const auto bytes = bytes_of(buffer);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void append_frame(Bytes& out, const RuntimeFrame& frame) {
  out.push_back(static_cast<std::uint8_t>(frame.width));
  out.push_back(static_cast<std::uint8_t>(frame.height));
  for (const RuntimeBytes* buffer : {&frame.rgb, &frame.y, &frame.u, &frame.v}) {
    append(out, *buffer);
  }
}

// Every byte a response holds, in order.
Bytes contents(const AnyResponse& response) {
  Bytes out;
  if (const auto* decode = std::get_if<RuntimeDecodeResponse>(&response)) {
    for (std::size_t i = 0; i < decode->frame_count; ++i)
      append_frame(out, decode->frames[i]);
  } else if (const auto* indexed = std::get_if<RuntimeIndexedResponse>(&response)) {
    for (std::size_t i = 0; i < indexed->frame_count; ++i) {
      out.push_back(static_cast<std::uint8_t>(indexed->frames[i].packet_index));
      append_frame(out, indexed->frames[i].frame);
    }
  } else {
    const auto& transcode = std::get<RuntimeTranscodeResponse>(response);
    for (std::size_t i = 0; i < transcode.access_unit_count; ++i) {
      append(out, transcode.access_units[i]);
    }
  }
  return out;
}

// One request of the mix, its records built once and shared read-only by
// every thread (the library only reads them).
struct Job {
  Export which;
  RuntimeDecodeRequest decode{};
  RuntimeTranscodeRequest transcode{};
  Bytes expected;

  int32_t call(AnyResponse& response) const {
    switch (which) {
      case Export::DecodeYuv420:
      case Export::DecodeRgb:
        response = RuntimeDecodeResponse{};
        return vantle_video_runtime_decode(&decode, &std::get<RuntimeDecodeResponse>(response));
      case Export::Indexed:
        response = RuntimeIndexedResponse{};
        return vantle_video_runtime_decode_indexed(&decode,
                                                   &std::get<RuntimeIndexedResponse>(response));
      default:
        response = RuntimeTranscodeResponse{};
        return vantle_video_runtime_transcode_h264(&transcode,
                                                   &std::get<RuntimeTranscodeResponse>(response));
    }
  }
};

// Responses made on one thread and released on another.
class ReleaseQueue {
 public:
  void push(AnyResponse response) {
    std::lock_guard lock(mutex_);
    queue_.push_back(response);
    ready_.notify_one();
  }
  // Releases until close() and the queue is empty; returns how many.
  int drain() {
    int released = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [&] { return closed_ || !queue_.empty(); });
      if (queue_.empty())
        return released;
      AnyResponse response = queue_.front();
      queue_.pop_front();
      lock.unlock();
      release(response);
      ++released;
      lock.lock();
    }
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<AnyResponse> queue_;
  bool closed_ = false;
};

constexpr const char* kThreadVariable = "VANTLE_VIDEO_FFMPEG_THREADS";

class Concurrency : public ::testing::Test {
 protected:
  void SetUp() override { setenv(kThreadVariable, "2", 1); }
  void TearDown() override { unsetenv(kThreadVariable); }
};

TEST_F(Concurrency, EightThreadsMixingExportsAndCodecsGetWhatOneThreadGets) {
  testing::QuietFfmpegLog quiet;
  std::vector<EncodedStream> streams;
  for (RuntimeCodec codec : {RuntimeCodec::H264, RuntimeCodec::H265, RuntimeCodec::Av1}) {
    StreamSpec spec;
    spec.codec = codec;
    spec.width = 64;
    spec.height = 48;
    spec.frame_count = 8;
    spec.b_frames = codec == RuntimeCodec::Av1 ? 0 : 2;
    spec.global_header = codec != RuntimeCodec::H265;
    streams.push_back(encode_stream(spec));
    VANTLE_REQUIRE_STREAM(streams.back());
  }
  std::deque<RequestBuilder> builders;
  std::vector<Job> jobs;
  for (const EncodedStream& stream : streams) {
    for (Export which :
         {Export::DecodeYuv420, Export::DecodeRgb, Export::Indexed, Export::Transcode}) {
      if (which == Export::Indexed && stream.codec == RuntimeCodec::Av1)
        continue;
      RequestBuilder& builder = builders.emplace_back(stream);
      Job job;
      job.which = which;
      job.decode = builder.request(
          which == Export::DecodeRgb ? RuntimePixelFormat::Rgb : RuntimePixelFormat::Yuv420,
          {0, 3, 7}, which == Export::DecodeRgb ? 320 : 0, which == Export::DecodeRgb ? 240 : 0);
      job.transcode = builder.transcode_request({1, 6});
      // What one thread alone gets, on a thread of its own (empty pool).
      std::thread([&] {
        AnyResponse response;
        ASSERT_EQ(job.call(response), 0) << testing::last_error();
        job.expected = contents(response);
        release(response);
      }).join();
      ASSERT_FALSE(job.expected.empty());
      jobs.push_back(std::move(job));
    }
  }

  constexpr int kThreads = 8;
  constexpr int kWaves = 2;
  constexpr int kCallsPerThread = 12;
  std::atomic<int> mismatches = 0, failures = 0, handed_over = 0;
  std::mutex first_error_mutex;
  std::string first_error;
  ReleaseQueue queue;
  std::thread releaser([&] { handed_over = queue.drain(); });
  // Pictures of 320x240 RGB are mapped buffers, kept and reused between
  // threads; the bound moves between none, less than one response and the
  // default while calls run.
  std::atomic<bool> stop_churn = false;
  std::thread churner([&] {
    const std::uint64_t limits[] = {0, std::uint64_t{1} << 20, std::uint64_t{256} << 20};
    for (std::size_t turn = 0; !stop_churn; ++turn) {
      vantle_video_runtime_set_kept_memory_limit(limits[turn % 3]);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      vantle_video_runtime_release_kept_memory();
    }
    vantle_video_runtime_set_kept_memory_limit(std::uint64_t{256} << 20);
  });
  for (int wave = 0; wave < kWaves; ++wave) {
    // Each wave's threads end with decoders in their pools.
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t, wave] {
        for (int i = 0; i < kCallsPerThread; ++i) {
          const Job& job = jobs[(static_cast<std::size_t>(t) * 5 + i + wave) % jobs.size()];
          AnyResponse response;
          if (job.call(response) != 0) {
            ++failures;
            std::lock_guard lock(first_error_mutex);
            first_error = testing::last_error();
            continue;
          }
          if (contents(response) != job.expected)
            ++mismatches;
          if (i % 3 == 0) {
            queue.push(response);
          } else {
            release(response);
          }
        }
      });
    }
    for (std::thread& thread : threads)
      thread.join();
  }
  stop_churn = true;
  churner.join();
  queue.close();
  releaser.join();
  EXPECT_EQ(failures, 0) << first_error;
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(handed_over, kWaves * kThreads * ((kCallsPerThread + 2) / 3));
}

TEST_F(Concurrency, ErrorSlotsStayPerThreadUnderLoad) {
  // Half the threads fail (a packet the decoder refuses), half succeed; each
  // reads only its own outcome.
  testing::QuietFfmpegLog quiet;
  StreamSpec spec;
  spec.frame_count = 4;
  const EncodedStream stream = encode_stream(spec);
  VANTLE_REQUIRE_STREAM(stream);
  RequestBuilder good(stream);
  RequestBuilder bad(stream);
  bad.packets()[0].assign(bad.packets()[0].size(), 0xff);
  const RuntimeDecodeRequest good_request = good.request(RuntimePixelFormat::Yuv420);
  const RuntimeDecodeRequest bad_request = bad.request(RuntimePixelFormat::Yuv420);
  std::atomic<int> wrong = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        RuntimeDecodeResponse response{};
        const bool fail = (t + i) % 2 == 0;
        const int32_t status =
            vantle_video_runtime_decode(fail ? &bad_request : &good_request, &response);
        const std::string message = testing::last_error();
        if (status != (fail ? -1 : 0) || message.empty() != !fail)
          ++wrong;
        vantle_video_runtime_free_response(&response);
      }
    });
  }
  for (std::thread& thread : threads)
    thread.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace vantle
