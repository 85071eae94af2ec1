// One row of the summary run as one Google Benchmark case: all sides are
// built and measured on a fresh thread, the row goes to the summary, and the
// case reports the median library time with the row's figures as counters.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <benchmark/benchmark.h>

#include "interleaved_rounds.h"
#include "ratio_summary.h"

namespace vantle::bench {

struct RowSides {
  TimedCall library;
  // What the goal is judged against: the warm-memory bare loop (decode), the
  // bare decode + encode loop (transcode), a fresh decoder per call (pool).
  TimedCall reference;
  // The bare loop that allocates its output as the library does (decode
  // rows); empty where there is none.
  TimedCall allocating;
  // Pictures (or 1 for call counts) per call.
  double units_per_call = 1;
  // Set instead of the calls when the row cannot run here.
  std::string skip;
};

struct RowSpec {
  RowKind kind = RowKind::Throughput;
  std::string section;
  std::string name;
  int threads = 1;
  // Least ratio to the reference that meets the goal (Throughput rows).
  double goal = 0;
};

// Called on the measuring thread, so that everything the sides hold (bare
// decoders and their FFmpeg threads) lives and dies there.
using MakeSides = std::function<Result<RowSides>()>;

// The answer for a row whose input could not be made: a skip when the
// FFmpeg build lacks what it needs, else a failure.
Result<RowSides> unusable_input(const std::string& reason, bool missing_in_build);

void run_ratio_row(benchmark::State& state, const RowSpec& spec, const MakeSides& make_sides,
                   std::optional<RoundLimits> limits = std::nullopt);

// Registers a case that runs once (Iterations(1)) with manual time.
benchmark::internal::Benchmark* register_case(const std::string& name,
                                              std::function<void(benchmark::State&)> body);

}  // namespace vantle::bench
