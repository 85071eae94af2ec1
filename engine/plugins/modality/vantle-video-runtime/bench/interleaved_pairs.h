// Timing of a library call against its bare counterpart on a busy machine:
// the two run in alternating pairs, so that whatever else the machine does
// at a moment weighs on both sides alike.
#pragma once

#include <functional>
#include <vector>

#include "common/result.h"

namespace vantle::bench {

// Seconds of one call: wall clock, and CPU time of the whole process (all
// FFmpeg threads included).
struct CallTime {
  double wall = 0;
  double cpu = 0;
};

struct PairTimes {
  std::vector<CallTime> library;
  std::vector<CallTime> bare;
};

struct PairLimits {
  double seconds = 1;
  int min_pairs = 1;
  int max_pairs = 1;
};

using TimedCall = std::function<Status()>;

// Runs each side once untimed (warm-up: decoders opened, caches filled),
// then pairs library/bare, swapping the order from pair to pair, until the
// limits are met. The first failure of either side ends it.
Result<PairTimes> measure_interleaved(const TimedCall& library, const TimedCall& bare,
                                      const PairLimits& limits);

// One call of `call`, timed.
Result<CallTime> time_call(const TimedCall& call);

}  // namespace vantle::bench
