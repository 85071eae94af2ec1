#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>

#include "bench.h"

namespace vantle::bench {

Elapsed since(const Elapsed& start) {
  timespec cpu{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  return {wall - start.wall,
          static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9 - start.cpu,
          usage.ru_minflt - start.faults};
}

namespace {

// Rounds before the timed ones. A decoder kept between groups settles over
// its first calls, not its first: after the first flush FFmpeg's frame and
// table pools grow by a picture, and the heap grows to the packets' sizes.
// At 1080p that is about 200 page faults in the second and third calls and
// none after; a host decoding for hours pays only what follows.
constexpr int WARM_ROUNDS = 3;

// What a host does between calls: its demuxer copies the next group into a
// fresh buffer of its own, which goes back to the heap.
void demux_like_a_host(std::span<const RuntimePacket> packets) {
  std::size_t size = 0;
  for (const RuntimePacket& packet : packets) {
    size += packet.len;
  }
  auto buffer = std::make_unique_for_overwrite<unsigned char[]>(size + 1);
  for (std::size_t at = 0; const RuntimePacket& packet : packets) {
    at += packet.len;
    std::memcpy(buffer.get() + at - packet.len, packet.data, packet.len);
  }
  // Keeps the copy from being optimised away.
  asm volatile("" : : "r"(buffer.get()) : "memory");
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

Result<RowFigures> measure_row(const Row& row, int threads, Mode mode, double seconds,
                               int min_rounds, int max_rounds) {
  const Source& source = *row.source;
  // A bare loop that cannot open fails the row at its first call.
  auto kept = Ceiling::open(source.codec, source.extradata, threads);
  const std::size_t groups = source.groups.size();
  const std::size_t steps = mode == Mode::Quiet ? std::max<std::size_t>(row.steps, 4) : row.steps;
  std::vector<double> wall[2], cpu[2], ratios, cpu_ratios;
  long faults[2] = {0, 0};
  std::size_t total_units = 0;
  RowFigures figures;
  const Elapsed start_of_row = since();
  for (int round = -WARM_ROUNDS; round < max_rounds; ++round) {
    if (round >= min_rounds && since(start_of_row).wall >= seconds) {
      break;
    }
    Elapsed spent[2];
    std::size_t units[2] = {0, 0};
    // Host mode alternates the sides call by call; quiet mode runs each
    // side's calls back to back.
    for (std::size_t turn = 0; turn < 2 * steps; ++turn) {
      const bool host = mode == Mode::Host;
      const int side = (std::max(round, 0) + static_cast<int>(host ? turn : turn / steps)) % 2;
      const std::size_t step = host ? turn / 2 : turn % steps;
      const std::size_t index =
          row.scattered ? (step * 37 + step / groups) % groups : step % groups;
      if (host) {
        demux_like_a_host(source.groups[index]);
      }
      const Elapsed start = since();
      auto fresh = row.fresh && side == 1 ? Ceiling::open(source.codec, source.extradata, threads)
                                          : vantle::fail(std::string());
      auto& ceiling = row.fresh ? fresh : kept;
      Job unturned = row.job;
      unturned.rotation = 0;
      auto made = side == 0      ? library_call(source, index, row.job)
                  : row.unturned ? library_call(source, index, unturned)
                  : ceiling      ? ceiling->run(source.groups[index], row.job)
                                 : vantle::fail(ceiling.error());
      fresh = vantle::fail(std::string());  // a fresh decoder's closing is timed too
      const Elapsed elapsed = since(start);
      if (!made) {
        return vantle::fail(made.error());
      }
      spent[side].wall += elapsed.wall;
      spent[side].cpu += elapsed.cpu;
      spent[side].faults += elapsed.faults;
      units[side] += *made;
    }
    if (units[0] != units[1]) {
      return vantle::fail("the library made " + std::to_string(units[0]) +
                          " pictures in a round, the bare loop " + std::to_string(units[1]));
    }
    if (round < 0) {
      continue;  // untimed: neither side pays for first use
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
  const auto units = static_cast<double>(figures.units);
  for (int side = 0; side < 2; ++side) {
    SideFigures& out = side == 0 ? figures.library : figures.ceiling;
    out.rate = units / quantile(wall[side], 0.5);
    out.cpu_rate = units / quantile(cpu[side], 0.5);
    out.faults_per_unit = static_cast<double>(faults[side]) /
                          static_cast<double>(std::max<std::size_t>(total_units, 1));
  }
  figures.ratio = quantile(ratios, 0.5);
  figures.ratio_p25 = quantile(ratios, 0.25);
  figures.ratio_p75 = quantile(ratios, 0.75);
  figures.cpu_ratio = quantile(cpu_ratios, 0.5);
  figures.noisy = figures.ratio_p25 > 0 && figures.ratio_p75 / figures.ratio_p25 > NOISY_SPREAD;
  return figures;
}

}  // namespace vantle::bench
