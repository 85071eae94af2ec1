// Release functions and the construction of host-owned buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "abi/export_frame.h"
#include "common/byte_buffer.h"
#include "support/last_error.h"
#include "vantle_video_runtime.h"

namespace vantle {
namespace {

RuntimeBytes owned_bytes(std::size_t n, std::uint8_t fill) {
  ByteBuffer buffer = ByteBuffer::with_capacity(n).value();
  std::memset(buffer.data(), fill, n);
  buffer.set_size(n);
  return RuntimeBytes::from_vec(std::move(buffer));
}

RuntimeFrame yuv_frame() {
  RuntimeFrame frame{};
  frame.format = RuntimePixelFormat::Yuv420;
  frame.rgb = RuntimeBytes::empty();
  frame.y = owned_bytes(16, 1);
  frame.u = owned_bytes(4, 2);
  frame.v = owned_bytes(4, 3);
  return frame;
}

TEST(RuntimeBytes, EmptyIsAbsentAndFromVecIsNeverNull) {
  const RuntimeBytes absent = RuntimeBytes::empty();
  EXPECT_EQ(absent.data, nullptr);
  EXPECT_EQ(absent.len, 0u);

  const RuntimeBytes nothing = RuntimeBytes::from_vec(ByteBuffer{});
  EXPECT_NE(nothing.data, nullptr);
  EXPECT_EQ(nothing.len, 0u);

  // Spare capacity is trimmed and ownership moves: the bytes stay put.
  ByteBuffer spare = ByteBuffer::with_capacity(64).value();
  std::memcpy(spare.data(), "abc", 3);
  spare.set_size(3);
  const RuntimeBytes trimmed = RuntimeBytes::from_vec(std::move(spare));
  EXPECT_EQ(spare.data(), nullptr);
  ASSERT_EQ(trimmed.len, 3u);
  EXPECT_EQ(std::memcmp(trimmed.data, "abc", 3), 0);
  vantle_video_runtime_free_bytes(trimmed);

  // Empty capacity-holding buffers are freed, not handed out.
  ByteBuffer reserved = ByteBuffer::with_capacity(8).value();
  const RuntimeBytes empty_reserved = RuntimeBytes::from_vec(std::move(reserved));
  EXPECT_NE(empty_reserved.data, nullptr);
  EXPECT_EQ(empty_reserved.len, 0u);
  vantle_video_runtime_free_bytes(empty_reserved);
}

TEST(FreeBytes, NullOrEmptyFreesNothing) {
  vantle_video_runtime_free_bytes(RuntimeBytes{nullptr, 5});
  vantle_video_runtime_free_bytes(RuntimeBytes{nullptr, 0});
  vantle_video_runtime_free_bytes(RuntimeBytes::from_vec(ByteBuffer{}));
  vantle_video_runtime_free_bytes(owned_bytes(32, 9));
}

TEST(FreeResponse, NullAtEveryLevelAndDoubleRelease) {
  vantle_video_runtime_free_response(nullptr);
  vantle_video_runtime_free_indexed_response(nullptr);
  vantle_video_runtime_free_transcode_response(nullptr);

  RuntimeDecodeResponse dangling{nullptr, 7};
  vantle_video_runtime_free_response(&dangling);
  EXPECT_EQ(dangling.frames, nullptr);
  EXPECT_EQ(dangling.frame_count, 0u);

  RuntimeIndexedResponse indexed_dangling{nullptr, 3};
  vantle_video_runtime_free_indexed_response(&indexed_dangling);
  EXPECT_EQ(indexed_dangling.frame_count, 0u);

  RuntimeTranscodeResponse transcode_dangling{nullptr, 2};
  vantle_video_runtime_free_transcode_response(&transcode_dangling);
  EXPECT_EQ(transcode_dangling.access_unit_count, 0u);
}

TEST(FreeResponse, FreesEveryBufferOnceAndResets) {
  RuntimeDecodeResponse response{};
  RuntimeFrame rgb{};
  rgb.format = RuntimePixelFormat::Rgb;
  rgb.rgb = owned_bytes(12, 4);
  rgb.y = rgb.u = rgb.v = RuntimeBytes::empty();
  write_response(response, std::vector<RuntimeFrame>{yuv_frame(), rgb, yuv_frame()});
  ASSERT_EQ(response.frame_count, 3u);
  EXPECT_EQ(response.frames[1].rgb.data[11], 4);
  vantle_video_runtime_free_response(&response);
  EXPECT_EQ(response.frames, nullptr);
  EXPECT_EQ(response.frame_count, 0u);
  vantle_video_runtime_free_response(&response);  // released twice: harmless

  RuntimeIndexedResponse indexed{};
  write_response(indexed, std::vector<RuntimeIndexedFrame>{{yuv_frame(), 0}, {yuv_frame(), 1}});
  vantle_video_runtime_free_indexed_response(&indexed);
  EXPECT_EQ(indexed.frames, nullptr);
  vantle_video_runtime_free_indexed_response(&indexed);

  RuntimeTranscodeResponse transcode{};
  write_response(transcode, std::vector<RuntimeBytes>{owned_bytes(5, 0), owned_bytes(1, 1)});
  EXPECT_EQ(transcode.access_unit_count, 2u);
  vantle_video_runtime_free_transcode_response(&transcode);
  EXPECT_EQ(transcode.access_units, nullptr);
  EXPECT_EQ(transcode.access_unit_count, 0u);
}

TEST(FreeResponse, EmptyArraysAreNonNullAndOwnNothing) {
  RuntimeDecodeResponse response{};
  write_response(response, std::vector<RuntimeFrame>{});
  EXPECT_NE(response.frames, nullptr);
  EXPECT_EQ(response.frame_count, 0u);
  vantle_video_runtime_free_response(&response);
  EXPECT_EQ(response.frames, nullptr);

  RuntimeTranscodeResponse transcode{};
  write_response(transcode, std::vector<RuntimeBytes>{});
  EXPECT_NE(transcode.access_units, nullptr);
  vantle_video_runtime_free_transcode_response(&transcode);
}

TEST(FreeResponse, ReleasesDoNotTouchTheLastError) {
  RuntimeDecodeResponse response{};
  ASSERT_EQ(vantle_video_runtime_decode(nullptr, &response), -1);
  vantle_video_runtime_free_response(&response);
  vantle_video_runtime_free_bytes(RuntimeBytes{nullptr, 1});
  vantle_video_runtime_free_indexed_response(nullptr);
  vantle_video_runtime_free_transcode_response(nullptr);
  EXPECT_EQ(testing::last_error(), "FFmpeg runtime received null ABI pointer");
}

}  // namespace
}  // namespace vantle
