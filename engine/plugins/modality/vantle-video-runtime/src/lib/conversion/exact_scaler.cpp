#include "conversion/exact_scaler.h"

extern "C" {
#include <libavutil/opt.h>
}

#include "common/ffmpeg_error.h"
#include "common/text.h"
#include "conversion/rgb_converter.h"

namespace vantle {

namespace {

bool is_full_range_format(AVPixelFormat format) noexcept {
  return swscale_source_format(format) != format;
}

Result<SwsContextHandle> build_exact_scaler(const ExactScalerKey& key) {
  SwsContextHandle context(sws_alloc_context());
  if (!context) {
    return fail("failed to allocate video scaler");
  }
  // swscale asserts (aborting the process) on a format it has no
  // descriptor for instead of failing.
  if (sws_isSupportedInput(key.source) <= 0) {
    return fail(str_cat("failed to create video scaler: ", ffmpeg_error_text(AVERROR_INVALIDDATA)));
  }
  SwsContext* c = context.get();
  // Flags 0 is swscale's default scaler, bicubic, as the command line's.
  const struct {
    const char* name;
    std::int64_t value;
  } options[] = {
      {"srcw", key.source_width},      {"srch", key.source_height},
      {"src_format", key.source},      {"dstw", key.output_width},
      {"dsth", key.output_height},     {"dst_format", key.output},
      {"sws_flags", 0},                {"src_range", key.source_full_range ? 1 : 0},
      {"dst_range", key.output_full_range ? 1 : 0},
  };
  for (const auto& option : options) {
    if (const int rc = av_opt_set_int(c, option.name, option.value, 0); rc < 0) {
      return fail(str_cat("failed to create video scaler: ", ffmpeg_error_text(rc)));
    }
  }
  if (const int rc = sws_init_context(c, nullptr, nullptr); rc < 0) {
    return fail(str_cat("failed to create video scaler: ", ffmpeg_error_text(rc)));
  }
  const int* coefficients = sws_getCoefficients(key.colorspace);
  if (coefficients == nullptr) {
    return fail("FFmpeg returned no YUV-to-RGB coefficient table");
  }
  constexpr int UNIT = 1 << 16;  // contrast and saturation of 1.0
  if (const int rc = sws_setColorspaceDetails(c, coefficients, key.source_full_range ? 1 : 0,
                                              coefficients, key.output_full_range ? 1 : 0, 0,
                                              UNIT, UNIT);
      rc < 0) {
    return fail(
        str_cat("failed to configure FFmpeg YUV-to-RGB color conversion: ", ffmpeg_error_text(rc)));
  }
  return context;
}

}  // namespace

Result<SwsContext*> exact_scaler_for(const AVFrame& frame, AVPixelFormat output, int width,
                                     int height, std::optional<ExactScaler>& cached) {
  const auto format = static_cast<AVPixelFormat>(frame.format);
  auto conversion = yuv_color_conversion(enum_code(frame.colorspace), enum_code(frame.color_range));
  if (!conversion) {
    return fail(std::move(conversion.error()));
  }
  const bool source_full = conversion->full_range || is_full_range_format(format);
  const AVPixFmtDescriptor* out_desc = av_pix_fmt_desc_get(output);
  const bool yuv_output = out_desc != nullptr && (out_desc->flags & AV_PIX_FMT_FLAG_RGB) == 0;
  const ExactScalerKey key{
      .source = swscale_source_format(format),
      .source_width = frame.width,
      .source_height = frame.height,
      .output = output,
      .output_width = width,
      .output_height = height,
      .colorspace = conversion->colorspace,
      .source_full_range = source_full,
      // RGB is full range whatever this says; the command line leaves it 0.
      .output_full_range = yuv_output && source_full,
  };
  if (!cached || cached->key != key) {
    auto built = build_exact_scaler(key);
    if (!built) {
      return fail(std::move(built.error()));
    }
    cached = ExactScaler{std::move(*built), key};
  }
  return cached->context.get();
}

}  // namespace vantle
