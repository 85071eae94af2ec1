#include "sample_stats.h"

#include <algorithm>
#include <cmath>

namespace vantle::bench {

double quantile(std::vector<double> samples, double q) {
  if (samples.empty()) {
    return 0;
  }
  std::sort(samples.begin(), samples.end());
  const double position = q * static_cast<double>(samples.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(position));
  const std::size_t above = std::min(below + 1, samples.size() - 1);
  const double fraction = position - static_cast<double>(below);
  return samples[below] + (samples[above] - samples[below]) * fraction;
}

}  // namespace vantle::bench
