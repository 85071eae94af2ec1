// Peak memory of one vantle_video_runtime_decode_indexed call over 86
// pictures of 1920x1080 (exactly the 256 MiB pixel budget), against the
// budget plus the decoder's own frames, each measured in a fresh child.
#include <algorithm>
#include <thread>
#include <vector>

#include "bare_calls.h"
#include "bench_rows.h"
#include "common/text.h"
#include "ffmpeg_threads.h"
#include "library_calls.h"
#include "peak_memory.h"
#include "ratio_row.h"

namespace vantle::bench {

namespace {

constexpr double MIB = 1024.0 * 1024.0;

std::uint64_t yuv420_bytes(std::uint64_t width, std::uint64_t height) {
  return width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2);
}

// {pictures, plane bytes returned}
Result<ChildValues> library_call(const PacketRun& run) {
  const RuntimeDecodeRequest request = run.request(RuntimePixelFormat::Yuv420);
  RuntimeIndexedResponse response{};
  if (vantle_video_runtime_decode_indexed(&request, &response) != 0) {
    return fail(str_cat("vantle_video_runtime_decode_indexed: ", library_last_error()));
  }
  std::int64_t bytes = 0;
  for (std::size_t i = 0; i < response.frame_count; ++i) {
    const RuntimeFrame& frame = response.frames[i].frame;
    bytes += static_cast<std::int64_t>(frame.y.len + frame.u.len + frame.v.len);
  }
  const auto pictures = static_cast<std::int64_t>(response.frame_count);
  vantle_video_runtime_free_indexed_response(&response);
  return ChildValues{pictures, bytes, 0, 0};
}

Result<ChildValues> bare_call(const PacketRun& run, int threads) {
  if (Status decoded = bare_indexed_decode_fresh_decoder(run, threads); !decoded) {
    return fail(std::move(decoded.error()));
  }
  return ChildValues{static_cast<std::int64_t>(run.pictures), 0, 0, 0};
}

// Decodes the run and copies nothing out: the decoder's own memory.
Result<ChildValues> decoder_alone(const PacketRun& run, int threads) {
  auto decoder = BareDecoder::open(run.codec, run.extradata, threads);
  if (!decoder) {
    return fail(std::move(decoder.error()));
  }
  ChildValues values{};
  if (Status decoded = decoder->decode(run.packets, false, [&](AVFrame&) { ++values[0]; });
      !decoded) {
    return fail(std::move(decoded.error()));
  }
  return values;
}

// The bytes of one of the decoder's frame buffers, and how many frames the
// stream makes it hold: its reference count and reorder depth, read from a
// single-threaded decoder of the first group (a frame-threaded decoder does
// not report its references to the caller's context).
struct DecoderShape {
  std::uint64_t frame_bytes = 0;
  int refs = 0;
  int reorder = 0;
};

Result<DecoderShape> decoder_shape(const PacketRun& run) {
  auto decoder = BareDecoder::open(run.codec, run.extradata, 1);
  if (!decoder) {
    return fail(std::move(decoder.error()));
  }
  const std::vector<std::vector<std::uint8_t>> group(
      run.packets.begin(), run.packets.begin() + static_cast<std::ptrdiff_t>(
                                                     std::min(run.packets.size(), GROUP_PICTURES)));
  DecoderShape shape;
  AVCodecContext& context = decoder->context();
  Status decoded = decoder->decode(group, false, [&](AVFrame& frame) {
    std::uint64_t buffers = 0;
    for (const AVBufferRef* buffer : frame.buf) {
      if (buffer != nullptr) {
        buffers += buffer->size;
      }
    }
    shape.frame_bytes = std::max(shape.frame_bytes, buffers);
    shape.refs = std::max(shape.refs, context.refs);
    shape.reorder = std::max(shape.reorder, context.has_b_frames);
  });
  if (!decoded) {
    return fail(std::move(decoded.error()));
  }
  return shape;
}

void measure_memory(MemoryRow& row, double& seconds) {
  // Encoded on a thread of its own, so that the encoder's heap stays out of
  // the main thread's arena, which the children allocate from.
  const PacketRun* made = nullptr;
  std::thread([&] { made = &memory_run(); }).join();
  const PacketRun& run = *made;
  if (!run.error.empty()) {
    (run.encoder_missing ? row.skipped : row.failed) = run.error;
    return;
  }
  row.pictures = run.pictures;
  row.picture_bytes =
      yuv420_bytes(static_cast<std::uint64_t>(run.width), static_cast<std::uint64_t>(run.height));
  row.budget = row.pictures * row.picture_bytes;

  Result<DecoderShape> shape;
  std::thread([&] { shape = decoder_shape(run); }).join();
  if (!shape) {
    row.failed = str_cat("decoder shape: ", shape.error());
    return;
  }
  row.decoder_frame_bytes = shape->frame_bytes;
  row.decoder_refs = shape->refs;
  row.decoder_reorder = shape->reorder;

  auto alone = measure_peak_in_child([&] { return decoder_alone(run, row.threads); });
  if (!alone) {
    row.failed = str_cat("decoder alone: ", alone.error());
    return;
  }
  row.decoder_alone = alone->growth;

  auto library = measure_peak_in_child([&] { return library_call(run); });
  if (!library) {
    row.failed = str_cat("library call: ", library.error());
    return;
  }
  if (library->values[0] != static_cast<std::int64_t>(run.pictures) ||
      library->values[1] != static_cast<std::int64_t>(row.budget)) {
    row.failed = str_cat("library call returned ", library->values[0], " pictures of ",
                         library->values[1], " bytes");
    return;
  }
  row.library = library->growth;
  seconds = library->seconds;

  auto bare = measure_peak_in_child([&] { return bare_call(run, row.threads); });
  if (!bare) {
    row.failed = str_cat("bare loop: ", bare.error());
    return;
  }
  row.bare = bare->growth;
}

}  // namespace

void register_peak_memory_rows(int threads) {
  const std::string name =
      str_cat("PeakMemory/H264_1080p_", MEMORY_RUN_PICTURES, "/threads:", threads);
  register_case(name, [threads](benchmark::State& state) {
    set_ffmpeg_threads(threads);
    MemoryRow row;
    row.name = str_cat(clip_label(Clip::H264_1080p), ", ", MEMORY_RUN_PICTURES, " pictures");
    row.threads = threads;
    double seconds = 0;
    for (auto _ : state) {
      measure_memory(row, seconds);
      state.SetIterationTime(seconds > 0 ? seconds : 1e-9);
    }
    if (!row.failed.empty() || !row.skipped.empty()) {
      state.SkipWithError(
          (row.failed.empty() ? "skipped: " + row.skipped : "FAILED: " + row.failed).c_str());
    } else {
      const double goal = static_cast<double>(row.budget) + static_cast<double>(row.decoder_alone);
      state.counters["library_MiB"] = static_cast<double>(row.library) / MIB;
      state.counters["goal_MiB"] = goal / MIB;
      state.counters["bare_MiB"] = static_cast<double>(row.bare) / MIB;
      state.counters["excess_MiB"] = (static_cast<double>(row.library) - goal) / MIB;
    }
    summary().add(std::move(row));
  });
}

}  // namespace vantle::bench
