#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "bench.h"

namespace vantle::bench {

Elapsed now() {
  timespec cpu{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return {
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(),
      static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9, usage.ru_minflt};
}

Elapsed since(const Elapsed& start) {
  const Elapsed end = now();
  return {end.wall - start.wall, end.cpu - start.cpu, end.faults - start.faults};
}

namespace {

// What a host does between calls: its demuxer hands it the next group in a
// buffer of its own, which it frees once the call is made.
void demux_like_a_host(std::span<const RuntimePacket> packets) {
  std::size_t size = 1;
  for (const RuntimePacket& packet : packets) {
    size += packet.len;
  }
  auto* buffer = static_cast<unsigned char*>(std::malloc(size));
  if (buffer == nullptr) {
    std::abort();
  }
  for (const RuntimePacket& packet : packets) {
    buffer = static_cast<unsigned char*>(std::memcpy(buffer, packet.data, packet.len)) + packet.len;
  }
  // Keeps the copy from being optimised away.
  asm volatile("" : : "r"(buffer) : "memory");
  std::free(buffer - (size - 1));
}

}  // namespace

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
  std::vector<double> wall[2], cpu[2], ratios, cpu_ratios;
  long faults[2] = {0, 0};
  std::size_t total_units = 0;
  RowFigures figures;
  const Elapsed row = now();
  for (int round = -1; round < plan.max_rounds; ++round) {
    if (round >= plan.min_rounds && since(row).wall >= plan.seconds) {
      break;
    }
    Elapsed spent[2];
    std::size_t units[2] = {0, 0};
    const int first = round < 0 ? 0 : round % 2;
    auto one_call = [&](int side, std::size_t step) -> std::expected<void, std::string> {
      if (plan.mode == Mode::Host && plan.packets) {
        demux_like_a_host(plan.packets(step));
      }
      const Elapsed start = now();
      auto made = (*calls[side])(step);
      const Elapsed elapsed = since(start);
      if (!made) {
        return std::unexpected(made.error());
      }
      spent[side].wall += elapsed.wall;
      spent[side].cpu += elapsed.cpu;
      spent[side].faults += elapsed.faults;
      units[side] += *made;
      return {};
    };
    // Host mode alternates the sides call by call; quiet mode runs each
    // side's calls back to back.
    const bool host = plan.mode == Mode::Host;
    for (std::size_t outer = 0; outer < (host ? plan.steps : 2); ++outer) {
      for (std::size_t inner = 0; inner < (host ? 2 : plan.steps); ++inner) {
        const std::size_t turn = host ? inner : outer;
        if (auto done = one_call((first + static_cast<int>(turn)) % 2, host ? outer : inner);
            !done) {
          return std::unexpected(done.error());
        }
      }
    }
    if (units[0] != units[1]) {
      return std::unexpected("the library made " + std::to_string(units[0]) +
                             " pictures in a round, the bare loop " + std::to_string(units[1]));
    }
    if (round < 0) {
      continue;  // the untimed round: neither side pays for first use
    }
    for (int side = 0; side < 2; ++side) {
      wall[side].push_back(spent[side].wall);
      cpu[side].push_back(spent[side].cpu);
      faults[side] += spent[side].faults;
    }
    ratios.push_back(spent[1].wall / spent[0].wall);
    cpu_ratios.push_back(spent[1].cpu / spent[0].cpu);
    figures.units = units[0];
    total_units += units[0];
  }
  SideFigures* out[2] = {&figures.library, &figures.ceiling};
  for (int side = 0; side < 2; ++side) {
    const auto units = static_cast<double>(figures.units);
    out[side]->rate = units / quantile(wall[side], 0.5);
    out[side]->cpu_rate = units / quantile(cpu[side], 0.5);
    out[side]->faults_per_unit =
        total_units == 0 ? 0 : static_cast<double>(faults[side]) / static_cast<double>(total_units);
  }
  figures.ratio = quantile(ratios, 0.5);
  figures.ratio_p25 = quantile(ratios, 0.25);
  figures.ratio_p75 = quantile(ratios, 0.75);
  figures.cpu_ratio = quantile(cpu_ratios, 0.5);
  figures.noisy = figures.ratio_p25 > 0 && figures.ratio_p75 / figures.ratio_p25 > NOISY_SPREAD;
  return figures;
}

}  // namespace vantle::bench
