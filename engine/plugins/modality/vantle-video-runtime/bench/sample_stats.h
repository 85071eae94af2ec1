// Order statistics of timing samples.
#pragma once

#include <vector>

namespace vantle::bench {

// The q-quantile (0..1) with linear interpolation; 0 for no samples.
double quantile(std::vector<double> samples, double q);
inline double median(std::vector<double> samples) {
  return quantile(std::move(samples), 0.5);
}

}  // namespace vantle::bench
