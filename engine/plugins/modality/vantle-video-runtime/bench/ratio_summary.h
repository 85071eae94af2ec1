// The tables printed after Google Benchmark's: every row's library rate next
// to its references' rates, the ratios against the goal and the page faults,
// the pool's speed-up, the indexed decode's peak memory against its budget
// and the resident memory the library keeps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "interleaved_rounds.h"

namespace vantle::bench {

// Least ratio to the reference: decode rows against the warm-memory loop,
// transcode rows against the bare decode + encode loop.
inline constexpr double DECODE_GOAL = 0.95;
inline constexpr double TRANSCODE_GOAL = 0.97;
inline constexpr double NOISY_SPREAD = 1.10;

enum class RowKind {
  // Pictures per second; goal: ratio >= RatioRow::goal.
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
  double goal = 0;
  // Pictures (Throughput) or 1 (PoolCalls) per timed call.
  double units_per_call = 1;
  struct Times {
    std::vector<CallTime> library;
    std::vector<CallTime> reference;
    // Empty for rows without the allocating loop.
    std::vector<CallTime> allocating;
  } times;
  // Set when the row could not run: shown instead of figures.
  std::string skipped;
  std::string failed;
};

struct RowFigures {
  int rounds = 0;
  double library_rate = 0;
  double reference_rate = 0;
  // Median over rounds of reference time / library time.
  double ratio = 0;
  double ratio_p25 = 0;
  double ratio_p75 = 0;
  // The same on process CPU time.
  double cpu_ratio = 0;
  // Fastest reference call / fastest library call: what each side does when
  // nothing else gets in its way.
  double best_ratio = 0;
  // The round ratios spread so far (p75 / p25 above NOISY_SPREAD) that the
  // verdict on this run is not to be trusted.
  bool noisy = false;
  // The same against the allocating loop, where the row has one.
  bool has_allocating = false;
  double allocating_rate = 0;
  double allocating_ratio = 0;
  double allocating_p25 = 0;
  double allocating_p75 = 0;
  // Median minor page faults per unit (picture) of each side.
  double library_faults = 0;
  double reference_faults = 0;
  double allocating_faults = 0;
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

// Memory at the steps of one scenario, in a child process of its own:
// resident (VmRSS after malloc_trim) and the C heap's bytes in use, which
// the judgement uses (glibc keeps the top of a thread's arena resident even
// after a trim, so RSS drifts by tens of MiB with arena reuse).
struct ResidentRow {
  std::string name;
  int threads = 1;
  // The retention rule the judged steps are held to.
  std::string rule;
  struct Step {
    std::string what;
    std::int64_t rss = 0;
    std::int64_t heap = 0;
    // What the library may keep at this step (above the reference step);
    // negative: not judged.
    std::int64_t bound = -1;
  };
  std::int64_t baseline = 0;
  // Heap bytes in use after the reference step (decoder pooled, nothing else
  // kept): judged steps count from here.
  std::int64_t reference_heap = 0;
  std::vector<Step> steps;
  std::string skipped;
  std::string failed;
};

class Summary {
 public:
  // A row measured again (benchmark repetitions) adds its rounds to the
  // earlier ones.
  void add(RatioRow row);
  void add(MemoryRow row);
  void add(ResidentRow row);
  void print() const;
  bool any_failed() const;

 private:
  std::vector<RatioRow> rows_;
  std::vector<MemoryRow> memory_;
  std::vector<ResidentRow> resident_;
};

Summary& summary();

}  // namespace vantle::bench
