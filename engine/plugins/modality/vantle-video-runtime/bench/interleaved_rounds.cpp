#include "interleaved_rounds.h"

#include <sys/resource.h>

#include <chrono>
#include <ctime>

namespace vantle::bench {

namespace {

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

long process_minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

}  // namespace

Result<CallTime> time_call(const TimedCall& call) {
  const long faults_start = process_minor_faults();
  const double cpu_start = process_cpu_seconds();
  const auto wall_start = std::chrono::steady_clock::now();
  Status outcome = call();
  const auto wall_end = std::chrono::steady_clock::now();
  const double cpu_end = process_cpu_seconds();
  const long faults_end = process_minor_faults();
  if (!outcome) {
    return fail(std::move(outcome.error()));
  }
  return CallTime{std::chrono::duration<double>(wall_end - wall_start).count(),
                  cpu_end - cpu_start, faults_end - faults_start};
}

Result<std::vector<std::vector<CallTime>>> measure_interleaved(const std::vector<TimedCall>& sides,
                                                               const RoundLimits& limits) {
  for (const TimedCall& side : sides) {
    if (Status warmed = side(); !warmed) {
      return fail(std::move(warmed.error()));
    }
  }
  std::vector<std::vector<CallTime>> times(sides.size());
  const auto started = std::chrono::steady_clock::now();
  for (int round = 0; round < limits.max_rounds; ++round) {
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (round >= limits.min_rounds && spent >= limits.seconds) {
      break;
    }
    // Every side goes first as often as the others.
    for (std::size_t step = 0; step < sides.size(); ++step) {
      const std::size_t side = (step + static_cast<std::size_t>(round)) % sides.size();
      auto timed = time_call(sides[side]);
      if (!timed) {
        return fail(std::move(timed.error()));
      }
      times[side].push_back(*timed);
    }
  }
  return times;
}

}  // namespace vantle::bench
