// Compiles the public header alone as C++ (as a C++ host would, without the
// library's internal definitions) and checks the enumerations and layout.
#include "vantle_video_runtime.h"

#include <cstddef>
#include <cstdio>
#include <type_traits>

static_assert(std::is_same_v<std::underlying_type_t<RuntimeCodec>, uint32_t>);
static_assert(std::is_same_v<std::underlying_type_t<RuntimePixelFormat>, uint32_t>);
static_assert(static_cast<uint32_t>(RuntimeCodec::H264) == 0);
static_assert(static_cast<uint32_t>(RuntimeCodec::Av1) == 1);
static_assert(static_cast<uint32_t>(RuntimeCodec::H265) == 2);
static_assert(static_cast<uint32_t>(RuntimePixelFormat::Rgb) == 0);
static_assert(static_cast<uint32_t>(RuntimePixelFormat::Yuv420) == 1);
static_assert(static_cast<uint32_t>(RuntimeCodec::Vp9) == 3 &&
              static_cast<uint32_t>(RuntimeCodec::Vp8) == 4);
static_assert(static_cast<uint32_t>(RuntimePixelFormat::Rgb48) == 2 &&
              static_cast<uint32_t>(RuntimePixelFormat::Yuv420P16) == 3);
static_assert(sizeof(RuntimeDecodeOptions) == 16 && offsetof(RuntimeDecodeOptions, reserved) == 12);

static_assert(std::is_standard_layout_v<RuntimeFrame> && std::is_trivially_copyable_v<RuntimeFrame>);
static_assert(sizeof(RuntimeBytes) == 16 && sizeof(RuntimePacket) == 16);
static_assert(sizeof(RuntimeFrame) == 96 && sizeof(RuntimeIndexedFrame) == 104);
static_assert(sizeof(RuntimeDecodeRequest) == 80 && sizeof(RuntimeTranscodeRequest) == 96);
static_assert(sizeof(RuntimeDecodeResponse) == 16 && sizeof(RuntimeIndexedResponse) == 16 &&
              sizeof(RuntimeTranscodeResponse) == 16);
static_assert(offsetof(RuntimeFrame, color_trc) == 92);
static_assert(offsetof(RuntimeIndexedFrame, packet_index) == 96);
static_assert(offsetof(RuntimeDecodeRequest, pixel_format) == 40);
static_assert(offsetof(RuntimeDecodeRequest, selected_position_count) == 72);
static_assert(offsetof(RuntimeTranscodeRequest, bit_rate) == 88);

// The exports are callable from C++ and never throw.
static_assert(noexcept(vantle_video_runtime_last_error()));
static_assert(noexcept(vantle_video_runtime_decode(nullptr, nullptr)));
static_assert(noexcept(vantle_video_runtime_set_picture_area_limit(0)));
static_assert(noexcept(vantle_video_runtime_set_response_limit(0)));

int main() {
  RuntimeTranscodeResponse response{nullptr, 0};
  if (vantle_video_runtime_transcode_h264(nullptr, &response) != -1) {
    std::fputs("null request accepted\n", stderr);
    return 1;
  }
  if (vantle_video_runtime_last_error().len != 40) {
    std::fputs("unexpected message length\n", stderr);
    return 1;
  }
  std::puts("header_cxx_check: layout and C++ calls agree");
  return 0;
}
