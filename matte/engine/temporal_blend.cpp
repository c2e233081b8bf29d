#include "temporal_blend.h"

#include <algorithm>
#include <cmath>

#include "pixel_loops.h"

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

namespace {

constexpr std::size_t kBlock = 64;

// True when every value of the block is 0 or 255: a confident block, never blended.
TRELVO_PIXEL_LOOP
bool confident(const std::uint8_t* __restrict values) {
  std::uint8_t unsure = 0;
  // 0 and 255 are the values for which value + 1 is 1 or 0.
  for (std::size_t i = 0; i < kBlock; ++i) {
    unsure |= static_cast<std::uint8_t>(static_cast<std::uint8_t>(values[i] + 1) & 0xfe);
  }
  return unsure == 0;
}

}  // namespace

void TemporalBlend::apply(std::uint8_t* matte, std::size_t size, bool fresh,
                          const ThreadPool* pool) {
  if (!fresh && previous_.size() == size) {
    auto blendBlocks = [&](std::size_t, std::size_t from, std::size_t to) {
      for (std::size_t block = from; block < to; ++block) {
        const std::size_t start = block * kBlock;
        const std::size_t end = std::min(size, start + kBlock);
        if (end - start == kBlock && confident(matte + start)) continue;
        for (std::size_t i = start; i < end; ++i) {
          const std::int32_t now = matte[i];
          const std::int32_t w = weight_[static_cast<std::size_t>(now)];
          if (w == 0) continue;
          const std::int32_t change = (previous_[i] - now) * w;
          matte[i] = static_cast<std::uint8_t>(now + ((change + 128) >> 8));
        }
      }
    };
    const std::size_t blocks = (size + kBlock - 1) / kBlock;
    if (pool != nullptr) {
      pool->split(blocks, blendBlocks);
    } else {
      blendBlocks(0, 0, blocks);
    }
  }
  previous_.assign(matte, matte + size);
}

}  // namespace trelvo::matte
