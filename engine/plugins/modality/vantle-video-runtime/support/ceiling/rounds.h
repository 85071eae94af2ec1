// How a row is measured, for the benchmark program and `vantle-video bench`
// alike: the library's calls and the ceiling's run in interleaved rounds,
// each side timed with one stopwatch (wall and process CPU time, minor page
// faults), and the figures are medians over rounds.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "vantle_video_runtime.h"

namespace vantle::ceiling {

// Minor page faults of the whole process so far (every thread).
long minor_faults();

struct Elapsed {
  double wall = 0;
  double cpu = 0;
  long faults = 0;
};

class Stopwatch {
 public:
  Stopwatch();
  Elapsed elapsed() const;

 private:
  double wall_;
  double cpu_;
  long faults_;
};

// The q-quantile (0.5: the median) of `values`, interpolated; 0 when empty.
double quantile(std::vector<double> values, double q);

enum class Mode {
  // Between the sides' calls the host works: it demuxes the next group into
  // a fresh buffer, and its own decode loop runs beside the library's.
  Host,
  // Each side's calls back to back, nothing in between.
  Quiet,
};

// A round's ratios spread so far (p75 / p25 above this) that the row is not
// to be trusted on this run.
inline constexpr double NOISY_SPREAD = 1.10;

// One side's call on step `step` of a round: answers the units it made
// (pictures; access units for the transcode).
using Call = std::function<std::expected<std::size_t, std::string>(std::size_t step)>;

struct RowPlan {
  Call library;
  Call ceiling;
  // Calls per side in a round (groups of a file, or repeats of one group).
  std::size_t steps = 1;
  // The packets step `step` works on, which the host demuxes in host mode.
  std::function<std::span<const RuntimePacket>(std::size_t step)> packets;
  Mode mode = Mode::Host;
  double seconds = 2;
  int min_rounds = 5;
  int max_rounds = 400;
  // One untimed round first, so that neither side pays for first use.
  bool warm_up = true;
};

struct SideFigures {
  double rate = 0;      // median over rounds of units per second
  double cpu_rate = 0;  // the same per CPU second of the process
  double faults_per_unit = 0;
};

struct RowFigures {
  SideFigures library;
  SideFigures ceiling;
  // Median over rounds of ceiling time / library time, and its quartiles.
  double ratio = 0;
  double ratio_p25 = 0;
  double ratio_p75 = 0;
  bool noisy = false;
  // The median round ratio on process CPU time: on a machine shared with
  // other work it moves far less than the wall clock (with one codec thread).
  double cpu_ratio = 0;
  int rounds = 0;
  // Units per round, per side.
  std::size_t units = 0;
};

std::expected<RowFigures, std::string> measure_row(const RowPlan& plan);

}  // namespace vantle::ceiling
