#include "rounds.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace vantle::ceiling {

namespace {

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// What a host does between calls: its demuxer hands it the next group in a
// buffer of its own, which it frees once the call is made.
void demux_like_a_host(std::span<const RuntimePacket> packets) {
  std::size_t size = 0;
  for (const RuntimePacket& packet : packets) {
    size += packet.len;
  }
  auto* buffer = static_cast<unsigned char*>(std::malloc(size + 1));
  if (buffer == nullptr) {
    std::abort();
  }
  std::size_t at = 0;
  for (const RuntimePacket& packet : packets) {
    std::memcpy(buffer + at, packet.data, packet.len);
    at += packet.len;
  }
  // Keeps the copy from being optimised away.
  asm volatile("" : : "r"(buffer) : "memory");
  std::free(buffer);
}

struct Side {
  std::vector<double> wall;
  std::vector<double> cpu;
  long faults = 0;
  std::size_t units = 0;
};

}  // namespace

long minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

Stopwatch::Stopwatch() : wall_(wall_seconds()), cpu_(cpu_seconds()), faults_(minor_faults()) {}

Elapsed Stopwatch::elapsed() const {
  return {wall_seconds() - wall_, cpu_seconds() - cpu_, minor_faults() - faults_};
}

double quantile(std::vector<double> values, double q) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const double at = q * static_cast<double>(values.size() - 1);
  const auto below = static_cast<std::size_t>(at);
  const std::size_t above = std::min(below + 1, values.size() - 1);
  return values[below] + (values[above] - values[below]) * (at - static_cast<double>(below));
}

std::expected<RowFigures, std::string> measure_row(const RowPlan& plan) {
  const Call* calls[2] = {&plan.library, &plan.ceiling};
  Side sides[2];
  const double started = wall_seconds();
  RowFigures figures;
  for (int round = plan.warm_up ? -1 : 0; round < plan.max_rounds; ++round) {
    if (round >= plan.min_rounds && wall_seconds() - started >= plan.seconds) {
      break;
    }
    Elapsed spent[2];
    std::size_t units[2] = {0, 0};
    // Each side goes first in every other round.
    const int first = round < 0 ? 0 : round % 2;
    auto one_call = [&](int side, std::size_t step) -> std::expected<void, std::string> {
      if (plan.mode == Mode::Host && plan.packets) {
        demux_like_a_host(plan.packets(step));
      }
      const Stopwatch watch;
      auto made = (*calls[side])(step);
      const Elapsed elapsed = watch.elapsed();
      if (!made) {
        return std::unexpected(made.error());
      }
      spent[side].wall += elapsed.wall;
      spent[side].cpu += elapsed.cpu;
      spent[side].faults += elapsed.faults;
      units[side] += *made;
      return {};
    };
    if (plan.mode == Mode::Host) {
      for (std::size_t step = 0; step < plan.steps; ++step) {
        for (int turn = 0; turn < 2; ++turn) {
          if (auto done = one_call((first + turn) % 2, step); !done) {
            return std::unexpected(done.error());
          }
        }
      }
    } else {
      for (int turn = 0; turn < 2; ++turn) {
        for (std::size_t step = 0; step < plan.steps; ++step) {
          if (auto done = one_call((first + turn) % 2, step); !done) {
            return std::unexpected(done.error());
          }
        }
      }
    }
    if (units[0] != units[1]) {
      return std::unexpected("the library made " + std::to_string(units[0]) +
                             " pictures in a round, the bare loop " + std::to_string(units[1]));
    }
    if (round < 0) {
      continue;
    }
    for (int side = 0; side < 2; ++side) {
      sides[side].wall.push_back(spent[side].wall);
      sides[side].cpu.push_back(spent[side].cpu);
      sides[side].faults += spent[side].faults;
      sides[side].units += units[side];
    }
    figures.units = units[0];
    ++figures.rounds;
  }
  std::vector<double> ratios;
  std::vector<double> cpu_ratios;
  for (std::size_t i = 0; i < sides[0].wall.size(); ++i) {
    ratios.push_back(sides[1].wall[i] / sides[0].wall[i]);
    cpu_ratios.push_back(sides[1].cpu[i] / sides[0].cpu[i]);
  }
  SideFigures* out[2] = {&figures.library, &figures.ceiling};
  for (int side = 0; side < 2; ++side) {
    const auto units = static_cast<double>(figures.units);
    out[side]->rate = units / quantile(sides[side].wall, 0.5);
    out[side]->cpu_rate = units / quantile(sides[side].cpu, 0.5);
    out[side]->faults_per_unit =
        sides[side].units == 0
            ? 0
            : static_cast<double>(sides[side].faults) / static_cast<double>(sides[side].units);
  }
  figures.ratio = quantile(ratios, 0.5);
  figures.ratio_p25 = quantile(ratios, 0.25);
  figures.ratio_p75 = quantile(ratios, 0.75);
  figures.cpu_ratio = quantile(cpu_ratios, 0.5);
  figures.noisy = figures.ratio_p25 > 0 && figures.ratio_p75 / figures.ratio_p25 > NOISY_SPREAD;
  return figures;
}

}  // namespace vantle::ceiling
