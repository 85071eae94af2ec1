// The per-thread last-error slot as the host sees it through the exports.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/last_error.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

using testing::last_error;

constexpr const char* NULL_POINTER = "FFmpeg runtime received null ABI pointer";

TEST(LastError, FreshThreadReadsEmptyNonNull) {
  std::thread([] {
    const RuntimeBytes message = vantle_video_runtime_last_error();
    EXPECT_NE(message.data, nullptr);
    EXPECT_EQ(message.len, 0u);
  }).join();
}

// Every request export, with a null request and with a null response.
TEST(LastError, NullPointersFailEveryExportAndLeaveTheResponse) {
  RuntimeDecodeRequest decode_request{};
  RuntimeTranscodeRequest transcode_request{};
  RuntimeDecodeResponse decode_response{reinterpret_cast<RuntimeFrame*>(0x10), 3};
  RuntimeIndexedResponse indexed_response{reinterpret_cast<RuntimeIndexedFrame*>(0x20), 4};
  RuntimeTranscodeResponse transcode_response{reinterpret_cast<RuntimeBytes*>(0x30), 5};

  EXPECT_EQ(vantle_video_runtime_decode(nullptr, &decode_response), -1);
  EXPECT_EQ(last_error(), NULL_POINTER);
  EXPECT_EQ(vantle_video_runtime_decode(&decode_request, nullptr), -1);
  EXPECT_EQ(vantle_video_runtime_last_error().len, 40u);
  EXPECT_EQ(vantle_video_runtime_decode_indexed(nullptr, &indexed_response), -1);
  EXPECT_EQ(last_error(), NULL_POINTER);
  EXPECT_EQ(vantle_video_runtime_decode_indexed(&decode_request, nullptr), -1);
  EXPECT_EQ(last_error(), NULL_POINTER);
  EXPECT_EQ(vantle_video_runtime_transcode_h264(nullptr, &transcode_response), -1);
  EXPECT_EQ(last_error(), NULL_POINTER);
  EXPECT_EQ(vantle_video_runtime_transcode_h264(&transcode_request, nullptr), -1);
  EXPECT_EQ(last_error(), NULL_POINTER);
  EXPECT_EQ(vantle_video_runtime_decode(nullptr, nullptr), -1);
  EXPECT_EQ(last_error(), NULL_POINTER);

  EXPECT_EQ(decode_response.frames, reinterpret_cast<RuntimeFrame*>(0x10));
  EXPECT_EQ(decode_response.frame_count, 3u);
  EXPECT_EQ(indexed_response.frame_count, 4u);
  EXPECT_EQ(transcode_response.access_unit_count, 5u);
}

TEST(LastError, SuccessAfterFailureEmptiesTheSlot) {
  ASSERT_EQ(vantle_video_runtime_decode(nullptr, nullptr), -1);
  ASSERT_FALSE(last_error().empty());
  // No packets decode to no frames: a success.
  RuntimeDecodeRequest request{};
  request.pixel_format = RuntimePixelFormat::Yuv420;
  RuntimeDecodeResponse response{};
  ASSERT_EQ(vantle_video_runtime_decode(&request, &response), 0) << last_error();
  EXPECT_EQ(vantle_video_runtime_last_error().len, 0u);
  EXPECT_NE(vantle_video_runtime_last_error().data, nullptr);
  vantle_video_runtime_free_response(&response);
}

TEST(LastError, ReadingDoesNotChangeTheSlot) {
  ASSERT_EQ(vantle_video_runtime_decode_indexed(nullptr, nullptr), -1);
  const RuntimeBytes first = vantle_video_runtime_last_error();
  const RuntimeBytes second = vantle_video_runtime_last_error();
  EXPECT_EQ(first.data, second.data);
  EXPECT_EQ(first.len, second.len);
}

TEST(LastError, ThreadsHaveTheirOwnSlots) {
  RuntimeDecodeRequest indexed_av1{};
  indexed_av1.codec = RuntimeCodec::Av1;
  indexed_av1.pixel_format = RuntimePixelFormat::Yuv420;
  RuntimeIndexedResponse response{};
  ASSERT_EQ(vantle_video_runtime_decode_indexed(&indexed_av1, &response), -1);
  const std::string mine = last_error();
  EXPECT_EQ(mine, "Indexed decode requires H264 or H265 YUV420");

  std::string other_before, other_after;
  std::thread([&] {
    other_before = last_error();
    vantle_video_runtime_decode(nullptr, nullptr);
    other_after = last_error();
  }).join();
  EXPECT_EQ(other_before, "");
  EXPECT_EQ(other_after, NULL_POINTER);
  EXPECT_EQ(last_error(), mine);
}

// Many threads failing at once each read back exactly their own message.
TEST(LastError, ConcurrentFailuresDoNotMix) {
  constexpr int THREADS = 8;
  std::vector<std::thread> threads;
  std::vector<int> mismatches(THREADS, 0);
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([t, &mismatches] {
      RuntimeDecodeRequest request{};
      request.codec = t % 2 == 0 ? RuntimeCodec::Av1 : RuntimeCodec::H264;
      request.pixel_format = RuntimePixelFormat::Yuv420;
      request.packet_count = 1;  // null packets with a count
      for (int i = 0; i < 200; ++i) {
        RuntimeIndexedResponse response{};
        vantle_video_runtime_decode_indexed(&request, &response);
        const std::string expected =
            t % 2 == 0 ? "Indexed decode requires H264 or H265 YUV420"
                       : "FFmpeg runtime request has null packets with non-zero length";
        mismatches[t] += last_error() != expected;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (int t = 0; t < THREADS; ++t) {
    EXPECT_EQ(mismatches[t], 0) << "thread " << t;
  }
}

}  // namespace
}  // namespace vantle
