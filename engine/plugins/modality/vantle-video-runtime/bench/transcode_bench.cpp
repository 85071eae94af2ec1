// Transcode: vantle_video_runtime_transcode_h264 re-encoding all 12 pictures
// of a group against a bare decode (one opened decoder) + H.264 encode (one
// encoder per call) loop with the same encoder settings.
#include <memory>
#include <numeric>
#include <string_view>
#include <vector>

#include "bare_calls.h"
#include "bench_rows.h"
#include "common/text.h"
#include "ffmpeg_threads.h"
#include "library_calls.h"
#include "ratio_row.h"

namespace vantle::bench {

namespace {

constexpr Clip TRANSCODE_CLIPS[] = {Clip::H264_360p, Clip::H264_1080p};

// The request and the position array it points at, kept together.
struct TranscodeInput {
  std::vector<std::size_t> positions;
  RuntimeTranscodeRequest request{};
};

Result<RowSides> transcode_sides(Clip clip) {
  const PacketRun& run = clip_group(clip);
  if (!run.error.empty()) {
    return unusable_input(run.error, run.encoder_missing);
  }
  auto input = std::make_shared<TranscodeInput>();
  input->positions.resize(run.pictures);
  std::iota(input->positions.begin(), input->positions.end(), std::size_t{0});
  input->request.decode = run.request(RuntimePixelFormat::Yuv420);
  input->request.decode.selected_positions = input->positions.data();
  input->request.decode.selected_position_count = input->positions.size();
  input->request.frame_rate_num = TRANSCODE_RATE_NUM;
  input->request.frame_rate_den = TRANSCODE_RATE_DEN;
  input->request.bit_rate = TRANSCODE_BIT_RATE;

  // The export may still be a stub while it is being written: such a build
  // skips the row instead of failing the run.
  if (Status probe = call_transcode(input->request, run.pictures); !probe) {
    const bool not_built = probe.error().find("not built") != std::string::npos;
    return unusable_input(str_cat("the transcode export answered \"", probe.error(), "\""),
                          not_built);
  }

  const int threads = ffmpeg_threads();
  auto opened = BareDecoder::open(run.codec, run.extradata, threads);
  if (!opened) {
    return fail(std::move(opened.error()));
  }
  auto decoder = std::make_shared<BareDecoder>(std::move(*opened));
  RowSides sides;
  sides.units_per_call = static_cast<double>(run.pictures);
  sides.library = [&run, input] { return call_transcode(input->request, run.pictures); };
  sides.reference = [&run, decoder, threads] { return bare_transcode(*decoder, run, threads); };
  return sides;
}

}  // namespace

void register_transcode_rows(int threads) {
  for (const Clip clip : TRANSCODE_CLIPS) {
    const std::string name = str_cat("Transcode/", clip_tag(clip), "/threads:", threads);
    register_case(name, [clip, threads](benchmark::State& state) {
      const RowSpec spec{RowKind::Throughput, "Transcode to H.264", clip_label(clip), threads,
                         TRANSCODE_GOAL};
      run_ratio_row(state, spec, [clip] { return transcode_sides(clip); });
    });
  }
}

}  // namespace vantle::bench
