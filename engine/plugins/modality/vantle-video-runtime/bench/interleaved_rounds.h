// Timing of a library call against its bare counterparts on a busy machine:
// the sides run in alternating rounds, so that whatever else the machine does
// at a moment weighs on all of them alike.
#pragma once

#include <functional>
#include <vector>

#include "common/result.h"

namespace vantle::bench {

// One call: wall-clock seconds, CPU seconds of the whole process (all FFmpeg
// threads included) and the process's minor page faults (getrusage) while it
// ran.
struct CallTime {
  double wall = 0;
  double cpu = 0;
  long minor_faults = 0;
};

struct RoundLimits {
  double seconds = 1;
  int min_rounds = 1;
  int max_rounds = 1;
};

using TimedCall = std::function<Status()>;

// Runs each side once untimed (warm-up: decoders opened, caches filled, the
// recycled buffers allocated), then rounds of one call per side, the order
// rotated from round to round, until the limits are met. Answers one list of
// times per side, in the order given. The first failure of any side ends it.
Result<std::vector<std::vector<CallTime>>> measure_interleaved(const std::vector<TimedCall>& sides,
                                                               const RoundLimits& limits);

// One call of `call`, timed.
Result<CallTime> time_call(const TimedCall& call);

}  // namespace vantle::bench
