#include "ratio_row.h"

#include <thread>
#include <utility>

#include "bench_options.h"
#include "ffmpeg_threads.h"
#include "sample_stats.h"

namespace vantle::bench {

void run_ratio_row(benchmark::State& state, const RowSpec& spec, const MakeSides& make_sides,
                   std::optional<RoundLimits> limits) {
  const BenchOptions& options = bench_options();
  const RoundLimits row_limits = limits.value_or(
      RoundLimits{options.seconds_per_row, options.min_rounds, options.max_rounds});
  set_ffmpeg_threads(spec.threads);

  RatioRow row;
  row.kind = spec.kind;
  row.section = spec.section;
  row.name = spec.name;
  row.threads = spec.threads;
  row.goal = spec.goal;
  for (auto _ : state) {
    // A fresh thread: the library's decoder pool of this thread starts
    // empty, and the thread that forks for the memory rows never holds
    // FFmpeg worker threads.
    std::thread worker([&] {
      auto sides = make_sides();
      if (!sides) {
        row.failed = std::move(sides.error());
        return;
      }
      if (!sides->skip.empty()) {
        row.skipped = sides->skip;
        return;
      }
      row.units_per_call = sides->units_per_call;
      std::vector<TimedCall> calls = {sides->library, sides->reference};
      if (sides->allocating) {
        calls.push_back(sides->allocating);
      }
      auto times = measure_interleaved(calls, row_limits);
      if (!times) {
        row.failed = std::move(times.error());
        return;
      }
      row.times.library = std::move((*times)[0]);
      row.times.reference = std::move((*times)[1]);
      if (times->size() > 2) {
        row.times.allocating = std::move((*times)[2]);
      }
    });
    worker.join();
    std::vector<double> library_walls;
    for (const CallTime& time : row.times.library) {
      library_walls.push_back(time.wall);
    }
    state.SetIterationTime(library_walls.empty() ? 1e-9 : median(library_walls));
  }
  state.SetLabel(spec.section + " " + spec.name);
  if (!row.failed.empty() || !row.skipped.empty()) {
    state.SkipWithError(
        (row.failed.empty() ? "skipped: " + row.skipped : "FAILED: " + row.failed).c_str());
  } else {
    const RowFigures figures = figures_of(row);
    const bool calls = spec.kind == RowKind::PoolCalls;
    state.counters[calls ? "pooled_per_s" : "lib_fps"] = figures.library_rate;
    state.counters[calls ? "fresh_per_s" : "ref_fps"] = figures.reference_rate;
    state.counters[calls ? "speedup" : "ratio"] = figures.ratio;
    state.counters["cpu_ratio"] = figures.cpu_ratio;
    state.counters["rounds"] = figures.rounds;
    if (!calls) {
      state.counters["lib_faults"] = figures.library_faults;
      state.counters["ref_faults"] = figures.reference_faults;
    }
    if (figures.has_allocating) {
      state.counters["alloc_ratio"] = figures.allocating_ratio;
      state.counters["alloc_faults"] = figures.allocating_faults;
    }
  }
  summary().add(std::move(row));
}

Result<RowSides> unusable_input(const std::string& reason, bool missing_in_build) {
  if (!missing_in_build) {
    return fail(reason);
  }
  RowSides sides;
  sides.skip = reason;
  return sides;
}

benchmark::internal::Benchmark* register_case(const std::string& name,
                                              std::function<void(benchmark::State&)> body) {
  return benchmark::RegisterBenchmark(
             name.c_str(), [body = std::move(body)](benchmark::State& state) { body(state); })
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

}  // namespace vantle::bench
