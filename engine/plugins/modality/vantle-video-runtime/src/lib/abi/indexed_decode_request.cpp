#include "abi/indexed_decode_request.h"

#include <utility>

#include "abi/export_frame.h"
#include "abi/runtime_frames.h"
#include "common/request_views.h"
#include "common/text.h"
#include "conversion/picture_converter.h"
#include "decoding/packet_decoder.h"
#include "decoding/runtime_codec.h"

namespace vantle {

namespace {

std::uint64_t saturating_add(std::uint64_t total, std::uint64_t amount) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(total, amount, &sum) ? UINT64_MAX : sum;
}

}  // namespace

Status Yuv420PixelBudget::charge(std::uint32_t width, std::uint32_t height,
                                 std::uint32_t sample_bytes) {
  const std::uint64_t w = width;
  const std::uint64_t h = height;
  // Two 32-bit sizes and a small factor fit 64 bits.
  total_ = saturating_add(total_, sample_bytes * w * h);
  total_ = saturating_add(total_, sample_bytes * 2 * ((w + 1) / 2) * ((h + 1) / 2));
  if (total_ > INDEXED_DECODE_PIXEL_BUDGET) {
    return fail(str_cat("Decoded GOP exceeds 256 MiB pixel budget (", total_, " YUV420 bytes)"));
  }
  return {};
}

Status run_indexed_decode_request(const RuntimeDecodeRequest* request,
                                  RuntimeIndexedResponse* response) {
  return fill_response(request, response, indexed_decode_request_records);
}

Result<std::vector<RuntimeIndexedFrame>> indexed_decode_request_records(
    const RuntimeDecodeRequest& request) {
  if (!carries_nal_units(request.codec) ||
      (request.pixel_format != RuntimePixelFormat::Yuv420 &&
       request.pixel_format != RuntimePixelFormat::Yuv420P16)) {
    return fail("Indexed decode requires H264 or H265 YUV420");
  }
  auto packets = packet_slices(request);
  if (!packets) {
    return fail(std::move(packets.error()));
  }
  const std::size_t packet_count = packets->size();
  auto extradata = bytes_slice(request.extradata, request.extradata_len);
  if (!extradata) {
    return fail(std::move(extradata.error()));
  }
  auto frames = decode_packets(request.codec, *extradata, std::move(*packets));
  if (!frames) {
    return fail(std::move(frames.error()));
  }
  frames->assign_packet_pts = true;
  const bool sixteen_bit = request.pixel_format == RuntimePixelFormat::Yuv420P16;
  FfmpegPictureConverter converter(
      OutputRequest{.layout = sixteen_bit ? OutputLayout::Yuv420P16 : OutputLayout::Yuv420,
                    .width = 0,
                    .height = 0,
                    .orientation = {}});

  // Owned pictures until the run has decoded completely: a failure part-way
  // frees them with the vector.
  std::vector<std::pair<std::size_t, Yuv420Frame>> kept;
  Yuv420PixelBudget budget;
  while (auto item = frames->next()) {
    if (!*item) {
      return fail(std::move(item->error()));
    }
    const AVFrame& decoded = *(*item)->frame;
    // Charged before conversion, from the decoded picture's own size, so
    // what the call holds never exceeds the budget.
    if (auto charged = budget.charge(static_cast<std::uint32_t>(decoded.width),
                                     static_cast<std::uint32_t>(decoded.height),
                                     sixteen_bit ? 2 : 1);
        !charged) {
      return fail(std::move(charged.error()));
    }
    const std::int64_t pts = decoded.pts;
    if (pts == AV_NOPTS_VALUE || pts < 0 || static_cast<std::uint64_t>(pts) >= packet_count) {
      return fail("Decoder did not preserve access-unit identity");
    }
    auto picture = converter.to_yuv420(std::move(**item));
    if (!picture) {
      return fail(std::move(picture.error()));
    }
    kept.emplace_back(static_cast<std::size_t>(pts), std::move(*picture));
  }
  std::vector<RuntimeIndexedFrame> records;
  records.reserve(kept.size());
  for (auto& [packet_index, picture] : kept) {
    records.push_back(RuntimeIndexedFrame{to_runtime_frame(std::move(picture)), packet_index});
  }
  return records;
}

}  // namespace vantle
