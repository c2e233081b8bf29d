#include "temporal_blend.h"

#include <algorithm>
#include <cmath>

namespace trelvo::matte {

float uncertainty(float probability) {
  // A polynomial in (p - 0.5)^2 fitted to fall from 1 at the middle to 0 at either end.
  constexpr double c1 = 5.68842, c2 = -0.748699, c3 = -57.8051, c4 = 291.309, c5 = -624.717;
  const double d = static_cast<double>(probability) - 0.5;
  const double x = d * d;
  const double fall = x * (c1 + x * (c2 + x * (c3 + x * (c4 + x * c5))));
  return static_cast<float>(1.0 - std::min(1.0, std::max(0.0, fall)));
}

TemporalBlend::TemporalBlend(float ratio) {
  for (int v = 0; v < 256; ++v) {
    weight_[static_cast<std::size_t>(v)] = static_cast<std::int32_t>(
        std::lround(uncertainty(static_cast<float>(v) / 255.0f) * ratio * 256.0f));
  }
}

void TemporalBlend::apply(std::uint8_t* matte, std::size_t size, bool fresh) {
  if (!fresh && previous_.size() == size) {
    for (std::size_t i = 0; i < size; ++i) {
      const std::int32_t now = matte[i];
      const std::int32_t w = weight_[static_cast<std::size_t>(now)];
      if (w == 0) continue;
      const std::int32_t change = (previous_[i] - now) * w;
      matte[i] = static_cast<std::uint8_t>(now + ((change + 128) >> 8));
    }
  }
  previous_.assign(matte, matte + size);
}

}  // namespace trelvo::matte
