// The packet decode iterator: step order, errors by packet index, ends.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "decoding/packet_decoder.h"
#include "support/media.h"

namespace vantle {
namespace {

using testing::EncodedStream;
using testing::encode_stream;
using testing::StreamSpec;

std::vector<ByteView> views_of(const EncodedStream& stream) {
  std::vector<ByteView> views;
  for (const auto& packet : stream.packets) {
    views.emplace_back(packet);
  }
  return views;
}

EncodedStream reordered_stream() {
  StreamSpec spec;
  spec.frame_count = 10;
  spec.b_frames = 2;
  return encode_stream(spec);
}

TEST(PacketDecoder, EmptyRunEndsAtOnceAndStaysEnded) {
  auto frames = decode_packets(RuntimeCodec::H264, {}, {});
  ASSERT_TRUE(frames.has_value()) << frames.error();
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(frames->next().has_value());
  }
}

TEST(PacketDecoder, YieldsEveryFrameThenTheEnd) {
  const EncodedStream stream = reordered_stream();
  VANTLE_REQUIRE_STREAM(stream);
  std::vector<FrameHandle> kept;
  {
    auto frames = decode_packets(RuntimeCodec::H264, {}, views_of(stream));
    ASSERT_TRUE(frames.has_value());
    while (auto item = frames->next()) {
      ASSERT_TRUE(item->has_value()) << item->error();
      // Without assign_packet_pts the packets carry no timestamps.
      EXPECT_EQ((*item)->frame->pts, AV_NOPTS_VALUE);
      kept.push_back(std::move((*item)->frame));
    }
    EXPECT_EQ(kept.size(), 10u);
    EXPECT_FALSE(frames->next().has_value());
  }
  // Frames outlive the iterator, and its decoder is reused elsewhere.
  RuntimeDecodeRequest none{};
  none.pixel_format = RuntimePixelFormat::Yuv420;
  RuntimeIndexedResponse response{};
  ASSERT_EQ(vantle_video_runtime_decode_indexed(&none, &response), 0);
  vantle_video_runtime_free_indexed_response(&response);
  EXPECT_EQ(kept.back()->width, 64);
  EXPECT_NE(kept.back()->data[0], nullptr);
}

TEST(PacketDecoder, PacketIndexAsPts) {
  const EncodedStream stream = reordered_stream();
  VANTLE_REQUIRE_STREAM(stream);
  auto frames = decode_packets(RuntimeCodec::H264, {}, views_of(stream));
  ASSERT_TRUE(frames.has_value());
  frames->assign_packet_pts = true;
  std::vector<std::int64_t> pts;
  while (auto item = frames->next()) {
    ASSERT_TRUE(item->has_value());
    pts.push_back((*item)->frame->pts);
  }
  // Display order: picture k comes from the packet the encoder stamped k.
  ASSERT_EQ(pts.size(), stream.packet_pts.size());
  for (std::size_t k = 0; k < pts.size(); ++k) {
    EXPECT_EQ(stream.packet_pts[static_cast<std::size_t>(pts[k])], static_cast<std::int64_t>(k));
  }
}

TEST(PacketDecoder, SendErrorNamesThePacketAndEarlierFramesStayValid) {
  const EncodedStream stream = reordered_stream();
  VANTLE_REQUIRE_STREAM(stream);
  std::vector<ByteView> views = views_of(stream);
  const std::uint8_t empty_marker = 0;
  views[6] = ByteView(&empty_marker, 0);  // a drain signal in the middle
  auto frames = decode_packets(RuntimeCodec::H264, {}, std::move(views));
  ASSERT_TRUE(frames.has_value());
  std::vector<FrameHandle> before;
  std::string error;
  while (auto item = frames->next()) {
    if (!*item) {
      error = item->error();
      break;
    }
    before.push_back(std::move((*item)->frame));
  }
  EXPECT_EQ(error, "failed to decode H.264 packet 7: End of file");
  EXPECT_FALSE(before.empty());
  for (const auto& frame : before) {
    EXPECT_EQ(frame->height, 48);
  }
  // Nothing more is sent after the error: the end follows, then stays.
  while (auto item = frames->next()) {
    ASSERT_TRUE(item->has_value());
  }
  EXPECT_FALSE(frames->next().has_value());
}

TEST(PacketDecoder, OversizedAccessUnitFailsWithoutATruncatedSend) {
  const std::uint8_t byte = 0;
  // The view is never read: its size alone rules it out.
  const ByteView huge(&byte, static_cast<std::size_t>(INT_MAX) + 1);
  auto packet = packet_from_bytes(huge);
  ASSERT_FALSE(packet.has_value());
  EXPECT_EQ(packet.error(), "access unit of 2147483648 bytes exceeds the FFmpeg packet size limit");

  auto frames = decode_packets(RuntimeCodec::H265, {}, {huge});
  ASSERT_TRUE(frames.has_value());
  auto item = frames->next();
  ASSERT_TRUE(item.has_value());
  ASSERT_FALSE(item->has_value());
  EXPECT_EQ(item->error(), packet.error());
  EXPECT_FALSE(frames->next().has_value());
}

TEST(PacketDecoder, PacketsCarryTheBytesAndPadding) {
  const std::vector<std::uint8_t> bytes{0, 0, 1, 0x65, 0x88};
  auto packet = packet_from_bytes(bytes);
  ASSERT_TRUE(packet.has_value());
  ASSERT_EQ((*packet)->size, 5);
  EXPECT_EQ(std::memcmp((*packet)->data, bytes.data(), 5), 0);
  for (int i = 0; i < AV_INPUT_BUFFER_PADDING_SIZE; ++i) {
    ASSERT_EQ((*packet)->data[5 + i], 0);
  }
  EXPECT_EQ((*packet)->pts, AV_NOPTS_VALUE);
  auto empty = packet_from_bytes({});
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ((*empty)->data, nullptr);
  EXPECT_EQ((*empty)->size, 0);
}

}  // namespace
}  // namespace vantle
