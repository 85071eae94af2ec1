// Whether a decoder may serve a later run after this one, and the resets
// that bring a pooled decoder back to a fresh one's state. Every reason a
// decoder that ran is or is not reused is in this file; the one that never
// ran (decode_packets could not allocate its frame) goes back to the pool
// without a verdict.
#pragma once

#include <string_view>

#include "common/ffmpeg.h"
#include "decoding/decoder_pool.h"
#include "decoding/opened_decoder.h"
#include "decoding/parameter_sets.h"

namespace vantle {

// How a packet run went, as the iterator saw it.
struct DecodeRunRecord {
  // In-band parameter sets the decoder may hold: those of the key it was
  // taken for and those sent since.
  ParameterSets held_parameter_sets;
  // A packet sent could not be read for parameter sets.
  bool parameter_sets_unknown = false;
  // Every packet was sent and the decoder answered end of stream.
  bool drained = false;
  // The decoder reported a decoding error or gave a damaged picture.
  bool damage_seen = false;
};

// One line each; reuse_reason gives each verdict's text.
enum class ReuseVerdict {
  // One codec thread: the resets below cover all the state a run leaves.
  Reuse,
  // Worker threads, after a clean run whose state the resets cover.
  ReuseThreadedClean,
  // A packet could not be read for parameter sets.
  FreeParameterSetsUnknown,
  // Worker threads, after a run that stopped early or reported damage.
  FreeThreadedRunNotClean,
  // Worker threads, AV1, with a libdav1d older than 1.5.
  FreeThreadedOldLibdav1d,
  // Worker threads, H.264, with other than exactly one SPS.
  FreeThreadedH264SpsCount,
  // Worker threads, H.264, reorder depth unknown or deeper than the SPS gives.
  FreeThreadedH264Depth,
};

std::string_view reuse_reason(ReuseVerdict verdict) noexcept;
constexpr bool reused(ReuseVerdict verdict) noexcept {
  return verdict == ReuseVerdict::Reuse || verdict == ReuseVerdict::ReuseThreadedClean;
}

// The one decision: may `context`, opened for `key` and just used for the
// run described by `run`, go back to the pool?
ReuseVerdict decide_reuse(const DecoderPoolKey& key, const DecodeRunRecord& run,
                          const AVCodecContext& context);

// Flushes the decoder and undoes what its last stream taught the context.
// Run on a decoder taken from the pool, right before its next run.
void reset_to_fresh(OpenedDecoder& decoder) noexcept;

// libdav1d 1.0.0 (SONAME 6, Debian 12), flushed after the oss-fuzz
// multi-thread case of the test corpus and given the next stream, waits
// forever in dav1d_send_data or dav1d_get_picture; nothing FFmpeg reports
// tells such a run from a clean one. 1.5 (SONAME 7) decodes the same
// sequence. True only when the process has libdav1d.so.7 at version 1.5 or
// later loaded; read once.
bool libdav1d_survives_threaded_reuse() noexcept;

}  // namespace vantle
