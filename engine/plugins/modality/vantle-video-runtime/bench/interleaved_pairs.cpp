#include "interleaved_pairs.h"

#include <chrono>
#include <ctime>

namespace vantle::bench {

namespace {

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

Result<CallTime> time_call(const TimedCall& call) {
  const double cpu_start = process_cpu_seconds();
  const auto wall_start = std::chrono::steady_clock::now();
  Status outcome = call();
  const auto wall_end = std::chrono::steady_clock::now();
  const double cpu_end = process_cpu_seconds();
  if (!outcome) {
    return fail(std::move(outcome.error()));
  }
  return CallTime{std::chrono::duration<double>(wall_end - wall_start).count(),
                  cpu_end - cpu_start};
}

Result<PairTimes> measure_interleaved(const TimedCall& library, const TimedCall& bare,
                                      const PairLimits& limits) {
  if (Status warmed = library(); !warmed) {
    return fail(std::move(warmed.error()));
  }
  if (Status warmed = bare(); !warmed) {
    return fail(std::move(warmed.error()));
  }
  PairTimes times;
  const auto started = std::chrono::steady_clock::now();
  for (int pair = 0; pair < limits.max_pairs; ++pair) {
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (pair >= limits.min_pairs && spent >= limits.seconds) {
      break;
    }
    const bool library_first = pair % 2 == 0;
    for (int side = 0; side < 2; ++side) {
      const bool is_library = (side == 0) == library_first;
      auto timed = time_call(is_library ? library : bare);
      if (!timed) {
        return fail(std::move(timed.error()));
      }
      (is_library ? times.library : times.bare).push_back(*timed);
    }
  }
  return times;
}

}  // namespace vantle::bench
