#include "decoding/decoder_reuse.h"

#include <dlfcn.h>

#include <cstdio>
#include <optional>

#include "decoding/h264_reorder_depth.h"

namespace vantle {

std::string_view reuse_reason(ReuseVerdict verdict) noexcept {
  switch (verdict) {
    case ReuseVerdict::Reuse:
      return "reused: one codec thread";
    case ReuseVerdict::ReuseThreadedClean:
      return "reused: codec threads, clean run";
    case ReuseVerdict::FreeParameterSetsUnknown:
      return "freed: a packet could not be read for parameter sets";
    case ReuseVerdict::FreeThreadedRunNotClean:
      return "freed: codec threads, run stopped early or reported damage";
    case ReuseVerdict::FreeThreadedOldLibdav1d:
      return "freed: codec threads, AV1 with libdav1d older than 1.5";
    case ReuseVerdict::FreeThreadedH264SpsCount:
      return "freed: codec threads, H.264 with other than one SPS";
    case ReuseVerdict::FreeThreadedH264Depth:
      return "freed: codec threads, H.264 reorder depth beyond its SPS";
  }
  return "freed";
}

// A decoder keeps every parameter set it has seen, and no flush forgets
// them: handed to a later run that lacks them, it would decode what a fresh
// decoder refuses. The pool files it under those sets and hands it only to
// runs that start by sending all of them again; when they are not known it
// cannot be filed.
//
// A decoder with worker threads cannot be put back as a fresh one by the
// resets below: each FFmpeg frame thread keeps its own copy of what the
// decoder learned and hands it on, and no public call resets those copies.
// Such a decoder is reused only after runs that taught it nothing beyond its
// parameter sets:
// - the run was sent whole and drained, with no decoding error and no
//   damaged picture;
// - H.264: one SPS, and a reorder depth no deeper than that SPS gives. The
//   decoder deepens it for streams that reorder more than their level
//   allows, and the reset of the depth cannot reach the threads; the colour
//   description likewise stays what the one SPS signals.
// - H.265 takes its depth and colours from the active SPS alone.
// - AV1: libdav1d runs its threads inside one context, which the resets
//   reach, but only recent versions survive reuse after a damaged stream
//   they do not report as damaged.
ReuseVerdict decide_reuse(const DecoderPoolKey& key, const DecodeRunRecord& run,
                          const AVCodecContext& context) {
  if (run.parameter_sets_unknown) {
    return ReuseVerdict::FreeParameterSetsUnknown;
  }
  // thread_count holds what opening settled on: 0 (libdav1d's automatic
  // choice) and above 1 both mean worker threads.
  if (context.thread_count == 1) {
    return ReuseVerdict::Reuse;
  }
  if (!run.drained || run.damage_seen) {
    return ReuseVerdict::FreeThreadedRunNotClean;
  }
  if (key.codec == RuntimeCodec::Av1) {
    return libdav1d_survives_threaded_reuse() ? ReuseVerdict::ReuseThreadedClean
                                              : ReuseVerdict::FreeThreadedOldLibdav1d;
  }
  if (key.codec != RuntimeCodec::H264) {
    return ReuseVerdict::ReuseThreadedClean;
  }
  ParameterSets sets = run.held_parameter_sets;
  if (!add_extradata_parameter_sets(key.codec, key.extradata, sets)) {
    return ReuseVerdict::FreeThreadedH264SpsCount;
  }
  std::optional<int> depth;
  int sps_count = 0;
  for (const auto& unit : sets) {
    if ((unit.front() & 0x1f) == 7) {
      ++sps_count;
      depth = h264_sps_reorder_depth(unit);
    }
  }
  if (sps_count != 1) {
    return ReuseVerdict::FreeThreadedH264SpsCount;
  }
  if (!depth || context.has_b_frames > *depth) {
    return ReuseVerdict::FreeThreadedH264Depth;
  }
  return ReuseVerdict::ReuseThreadedClean;
}

void reset_to_fresh(OpenedDecoder& decoder) noexcept {
  AVCodecContext* context = decoder.get();
  avcodec_flush_buffers(context);
  // The H.264 decoder only ever raises its reorder depth as it meets
  // pictures and a flush keeps it: a later stream would come out with the
  // depth of an earlier one (other pictures held back, other pictures
  // recovered after a missing IDR). Back to what opening gave.
  if (context->codec_id == AV_CODEC_ID_H264) {
    context->has_b_frames = decoder.opened_reorder_delay();
  }
  // The H.264 decoder (and libdav1d in FFmpeg 9.0) copies a stream's colour
  // description into the context only when the stream signals one, and
  // frames inherit the context's values: without this reset a later stream
  // that signals none would be reported with the previous stream's colours.
  // A fresh decoder has them unspecified; both set them again from the
  // parameter sets of the next stream. The HEVC decoder must keep them: it
  // writes all of them (signalled or not) only when a different SPS becomes
  // active, so after a reset a stream with the same SPS would come out with
  // no colour description.
  if (context->codec_id != AV_CODEC_ID_HEVC) {
    context->color_range = AVCOL_RANGE_UNSPECIFIED;
    context->colorspace = AVCOL_SPC_UNSPECIFIED;
    context->color_primaries = AVCOL_PRI_UNSPECIFIED;
    context->color_trc = AVCOL_TRC_UNSPECIFIED;
    context->chroma_sample_location = AVCHROMA_LOC_UNSPECIFIED;
  }
}

namespace {

bool loaded_libdav1d_is_recent() noexcept {
  // RTLD_NOLOAD: only a libdav1d already in the process (FFmpeg's), found
  // whatever scope the host loaded it in.
  void* library = dlopen("libdav1d.so.7", RTLD_LAZY | RTLD_NOLOAD);
  if (library == nullptr) {
    return false;
  }
  using VersionFunction = const char* (*)();
  bool recent = false;
  if (auto version = reinterpret_cast<VersionFunction>(dlsym(library, "dav1d_version"))) {
    int major = 0;
    int minor = 0;
    if (const char* text = version();
        text != nullptr && std::sscanf(text, "%d.%d", &major, &minor) == 2) {
      recent = major > 1 || (major == 1 && minor >= 5);
    }
  }
  dlclose(library);
  return recent;
}

}  // namespace

bool libdav1d_survives_threaded_reuse() noexcept {
  static const bool survives = loaded_libdav1d_is_recent();
  return survives;
}

}  // namespace vantle
