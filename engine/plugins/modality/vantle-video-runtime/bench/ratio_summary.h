// The tables printed after Google Benchmark's: every row's library rate next
// to its bare rate and the ratio against the goal, the pool's speed-up and
// the indexed decode's peak memory against its budget.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "interleaved_pairs.h"

namespace vantle::bench {

inline constexpr double RATIO_GOAL = 0.97;
inline constexpr double NOISY_SPREAD = 1.10;

enum class RowKind {
  // Pictures per second; goal: ratio >= RATIO_GOAL.
  Throughput,
  // Calls per second of the pooled library against a fresh decoder per call.
  PoolCalls,
};

struct RatioRow {
  RowKind kind = RowKind::Throughput;
  // "Indexed decode", "Decode RGB 640x360", ...
  std::string section;
  // "H.264 1920x1080"
  std::string name;
  int threads = 1;
  // Pictures (Throughput) or 1 (PoolCalls) per timed call.
  double units_per_call = 1;
  PairTimes times;
  // Set when the row could not run: shown instead of figures.
  std::string skipped;
  std::string failed;
};

struct RowFigures {
  int pairs = 0;
  double library_rate = 0;
  double bare_rate = 0;
  // Median over pairs of bare time / library time.
  double ratio = 0;
  double ratio_p25 = 0;
  double ratio_p75 = 0;
  // The same on process CPU time.
  double cpu_ratio = 0;
  // Fastest bare call / fastest library call: what each side does when
  // nothing else gets in its way.
  double best_ratio = 0;
  // The pair ratios spread so far (p75 / p25 above NOISY_SPREAD) that the
  // verdict on this run is not to be trusted.
  bool noisy = false;
};

RowFigures figures_of(const RatioRow& row);

// Peak resident-set growth of calls decoding one run, each measured in a
// child process of its own.
struct MemoryRow {
  std::string name;
  int threads = 1;
  std::size_t pictures = 0;
  std::uint64_t budget = 0;
  std::uint64_t picture_bytes = 0;
  // The decoder's own pictures: its frame buffers and how many it holds.
  std::uint64_t decoder_frame_bytes = 0;
  int decoder_refs = 0;
  int decoder_reorder = 0;
  std::int64_t decoder_alone = 0;
  std::int64_t library = 0;
  std::int64_t bare = 0;
  std::string skipped;
  std::string failed;
};

class Summary {
 public:
  // A row measured again (benchmark repetitions) adds its pairs to the
  // earlier ones.
  void add(RatioRow row);
  void add(MemoryRow row);
  void print() const;
  bool any_failed() const;

 private:
  std::vector<RatioRow> rows_;
  std::vector<MemoryRow> memory_;
};

Summary& summary();

}  // namespace vantle::bench
