// Frame to model input, model output to mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "segmentation_engine.h"

namespace trelvo::matte {

// The largest row stride accepted: a row of the largest frame and some padding.
inline constexpr std::size_t kMaxFrameStride = std::size_t{kMaxFrameSide} * 4 + 4096;

// Returns false with `error` set when the frame's pointer, size or stride cannot be right.
bool checkFrame(const BgraFrame& frame, std::string& error);

// Stretches BGRA frames to an RGB float image of a fixed size with plain bilinear sampling (pixel
// centres aligned, edges clamped), values scaled to [0, 1]. Keeps the sampling tables of the last
// frame size, so a stream of equal frames pays for them once.
class FrameSampler {
 public:
  FrameSampler(std::uint32_t outWidth, std::uint32_t outHeight);

  // Writes outHeight * outWidth * 3 floats to `out`. The frame must have passed checkFrame.
  void sample(const BgraFrame& frame, float* out);

 private:
  struct Tap {
    std::uint32_t first = 0;  // index of the left (or upper) source pixel
    std::uint32_t second = 0;
    float weight = 0.0f;  // of the second pixel
  };
  static void makeTaps(std::uint32_t in, std::uint32_t out, std::vector<Tap>& taps);

  std::uint32_t outWidth_;
  std::uint32_t outHeight_;
  std::uint32_t frameWidth_ = 0;
  std::uint32_t frameHeight_ = 0;
  std::vector<Tap> columns_;
  std::vector<Tap> rows_;
};

// Probability (any float, NaN included) to an 8-bit mask value: times 255, rounded, clamped.
std::uint8_t maskValue(float probability);

}  // namespace trelvo::matte
