// Holding on to the previous matte where the current one is unsure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "thread_pool.h"

namespace trelvo::matte {

// How much of the previous matte an uncertain pixel keeps.
inline constexpr float kTemporalRatio = 0.9f;

// The uncertainty of a person probability: 1 at 0.5, falling to 0 at 0 and 1.
float uncertainty(float probability);

// Blends each matte with the last one it produced, pixel by pixel, in proportion to the new
// value's uncertainty: new + (previous - new) * uncertainty(new) * ratio. A confident pixel is
// never blended, so a person who moves leaves no ghost behind.
class TemporalBlend {
 public:
  explicit TemporalBlend(float ratio = kTemporalRatio);

  // Blends `matte` (`size` bytes) in place with the last result and keeps the outcome for the
  // next call. With `fresh` set, or after a change of size, the matte is kept as it is.
  // With a pool, parts of the matte are blended on its threads.
  void apply(std::uint8_t* matte, std::size_t size, bool fresh, const ThreadPool* pool = nullptr);

 private:
  std::array<std::int32_t, 256> weight_{};  // uncertainty * ratio of each value, in 1/256
  std::vector<std::uint8_t> previous_;
};

}  // namespace trelvo::matte
