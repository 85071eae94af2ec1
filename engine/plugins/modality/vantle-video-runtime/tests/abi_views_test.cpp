// The validating views of the host's request memory and their messages.
#include <gtest/gtest.h>

#include <array>

#include "common/request_views.h"

namespace vantle {
namespace {

constexpr const char* NULL_BYTES = "FFmpeg runtime request has null bytes with non-zero length";
constexpr const char* NULL_PACKETS = "FFmpeg runtime request has null packets with non-zero length";
constexpr const char* NULL_POSITIONS =
    "FFmpeg runtime request has null selected positions with non-zero length";

TEST(BytesSlice, NullWithLengthFailsNullWithoutLengthIsEmpty) {
  const std::uint8_t byte = 7;
  struct Case {
    const std::uint8_t* data;
    std::size_t len;
    bool ok;
    std::size_t size;
  };
  for (const Case& c : {Case{nullptr, 1, false, 0}, Case{nullptr, 0, true, 0},
                        Case{&byte, 0, true, 0}, Case{&byte, 1, true, 1}}) {
    auto view = bytes_slice(c.data, c.len);
    ASSERT_EQ(view.has_value(), c.ok) << c.len;
    if (c.ok) {
      EXPECT_EQ(view->size(), c.size);
      if (c.size != 0) {
        EXPECT_EQ(view->data(), &byte);
      }
    } else {
      EXPECT_EQ(view.error(), NULL_BYTES);
    }
  }
}

TEST(PacketSlices, NullArrayAndBadPacket) {
  RuntimeDecodeRequest request{};
  auto none = packet_slices(request);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());

  request.packet_count = 1;
  EXPECT_EQ(packet_slices(request).error(), NULL_PACKETS);

  // The third packet is broken: the walk fails whatever the others hold.
  const std::array<std::uint8_t, 4> bytes{0, 0, 1, 9};
  const std::array<RuntimePacket, 4> packets{{{bytes.data(), 4}, {nullptr, 0}, {nullptr, 10},
                                              {bytes.data(), 2}}};
  request.packets = packets.data();
  request.packet_count = packets.size();
  EXPECT_EQ(packet_slices(request).error(), NULL_BYTES);

  // Without it, the empty packet stays in the list as an empty view.
  request.packet_count = 2;
  auto views = packet_slices(request);
  ASSERT_TRUE(views.has_value());
  ASSERT_EQ(views->size(), 2u);
  EXPECT_EQ((*views)[0].size(), 4u);
  EXPECT_EQ((*views)[0].data(), bytes.data());
  EXPECT_TRUE((*views)[1].empty());
}

TEST(CopySelectedPositions, KeepsOrderAndDuplicates) {
  RuntimeDecodeRequest request{};
  auto none = copy_selected_positions(request);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());

  request.selected_position_count = 2;
  EXPECT_EQ(copy_selected_positions(request).error(), NULL_POSITIONS);

  const std::array<std::size_t, 4> positions{5, 2, 2, SIZE_MAX};
  request.selected_positions = positions.data();
  request.selected_position_count = positions.size();
  auto copy = copy_selected_positions(request);
  ASSERT_TRUE(copy.has_value());
  EXPECT_EQ(*copy, (std::vector<std::uint64_t>{5, 2, 2, UINT64_MAX}));

  // A non-null array with count 0 is an empty selection, not an error.
  request.selected_position_count = 0;
  EXPECT_TRUE(copy_selected_positions(request)->empty());
}

}  // namespace
}  // namespace vantle
