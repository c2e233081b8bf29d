#include "preprocess.h"

#include <algorithm>
#include <cmath>

namespace trelvo::matte {

bool checkFrame(const BgraFrame& frame, std::string& error) {
  if (frame.pixels == nullptr) {
    error = "the frame has no pixels";
    return false;
  }
  if (frame.width == 0 || frame.height == 0) {
    error = "the frame is empty";
    return false;
  }
  if (frame.width > kMaxFrameSide || frame.height > kMaxFrameSide) {
    error = "the frame is larger than " + std::to_string(kMaxFrameSide) + " pixels a side";
    return false;
  }
  if (frame.stride < std::size_t{frame.width} * 4 || frame.stride > kMaxFrameStride) {
    error = "the frame's row stride does not fit its width";
    return false;
  }
  return true;
}

FrameSampler::FrameSampler(std::uint32_t outWidth, std::uint32_t outHeight)
    : outWidth_(outWidth), outHeight_(outHeight) {}

void FrameSampler::makeTaps(std::uint32_t in, std::uint32_t out, std::vector<Tap>& taps) {
  taps.resize(out);
  const double scale = static_cast<double>(in) / out;
  for (std::uint32_t i = 0; i < out; ++i) {
    const double centre = std::clamp((i + 0.5) * scale - 0.5, 0.0, static_cast<double>(in - 1));
    const auto first = static_cast<std::uint32_t>(centre);
    taps[i].first = first;
    taps[i].second = std::min(first + 1, in - 1);
    taps[i].weight = static_cast<float>(centre - first);
  }
}

void FrameSampler::sample(const BgraFrame& frame, float* out) {
  if (frame.width != frameWidth_ || frame.height != frameHeight_) {
    makeTaps(frame.width, outWidth_, columns_);
    makeTaps(frame.height, outHeight_, rows_);
    frameWidth_ = frame.width;
    frameHeight_ = frame.height;
  }
  constexpr float kScale = 1.0f / 255.0f;
  for (const Tap& row : rows_) {
    const std::uint8_t* upper = frame.pixels + row.first * frame.stride;
    const std::uint8_t* lower = frame.pixels + row.second * frame.stride;
    const float wy = row.weight;
    for (const Tap& col : columns_) {
      const std::uint8_t* a = upper + col.first * 4;
      const std::uint8_t* b = upper + col.second * 4;
      const std::uint8_t* c = lower + col.first * 4;
      const std::uint8_t* d = lower + col.second * 4;
      const float wx = col.weight;
      // BGRA in, RGB out.
      for (int channel = 2; channel >= 0; --channel) {
        const float top = a[channel] + (b[channel] - a[channel]) * wx;
        const float bottom = c[channel] + (d[channel] - c[channel]) * wx;
        *out++ = (top + (bottom - top) * wy) * kScale;
      }
    }
  }
}

std::uint8_t maskValue(float probability) {
  if (!(probability > 0.0f)) return 0;  // also NaN
  if (probability >= 1.0f) return 255;
  return static_cast<std::uint8_t>(std::lround(probability * 255.0f));
}

}  // namespace trelvo::matte
