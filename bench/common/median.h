// The middle of a benchmark's samples (the upper middle one for an even count): a figure that one
// run slowed down by other work on the machine does not move.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <vector>

namespace trelvo::bench {

inline double median(std::vector<double> samples) {
  assert(!samples.empty());
  const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
  std::nth_element(samples.begin(), middle, samples.end());
  return *middle;
}

}  // namespace trelvo::bench
