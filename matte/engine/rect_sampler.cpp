#include "rect_sampler.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pixel_loops.h"

namespace trelvo::matte {

namespace {

TRELVO_PIXEL_LOOP
void accumulate(float* __restrict line, const std::uint8_t* __restrict source, float weight,
                std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) line[i] += weight * static_cast<float>(source[i]);
}

}  // namespace

RectSampler::RectSampler(std::uint32_t outWidth, std::uint32_t outHeight)
    : outWidth_(outWidth), outHeight_(outHeight) {}

void RectSampler::makeAxis(std::uint32_t sourceLength, double start, double length,
                           std::uint32_t outLength, Axis& axis) {
  axis.first.assign(outLength, 0);
  axis.begin.assign(outLength, 0);
  axis.end.assign(outLength, 0);
  axis.weights.clear();
  const double scale = length / outLength;
  const double n = sourceLength;
  std::uint32_t low = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t high = 0;
  for (std::uint32_t i = 0; i < outLength; ++i) {
    const auto begin = static_cast<std::uint32_t>(axis.weights.size());
    std::uint32_t first = 0;
    if (scale > 1.0) {
      // The output pixel's footprint, clipped to the frame; the part outside adds nothing, which
      // is black, while the weights stay shares of the whole footprint.
      const double from = std::max(start + i * scale, 0.0);
      const double to = std::min(start + (i + 1) * scale, n);
      if (to > from) {
        first = static_cast<std::uint32_t>(std::floor(from));
        const auto last = static_cast<std::uint32_t>(std::ceil(to));
        for (std::uint32_t j = first; j < last; ++j) {
          const double overlap = std::min(to, j + 1.0) - std::max(from, static_cast<double>(j));
          axis.weights.push_back(static_cast<float>(overlap / scale));
        }
      }
    } else {
      // Pixel centres aligned; a sample point on the frame's outer half pixel takes the edge.
      const double centre = start + (i + 0.5) * scale - 0.5;
      if (centre >= -0.5 && centre <= n - 0.5) {
        const double position = std::clamp(centre, 0.0, n - 1.0);
        first = static_cast<std::uint32_t>(position);
        const auto fraction = static_cast<float>(position - first);
        if (first + 1 < sourceLength) {
          axis.weights.push_back(1.0f - fraction);
          axis.weights.push_back(fraction);
        } else {
          axis.weights.push_back(1.0f);
        }
      }
    }
    const auto end = static_cast<std::uint32_t>(axis.weights.size());
    axis.first[i] = first;
    axis.begin[i] = begin;
    axis.end[i] = end;
    if (end > begin) {
      low = std::min(low, first);
      high = std::max(high, first + (end - begin));
    }
  }
  axis.low = low <= high ? low : 0;
  axis.high = low <= high ? high : 0;
}

void RectSampler::sample(const BgraFrame& frame, const FrameRect& rect, float* out,
                         const ThreadPool* pool) {
  makeAxis(frame.width, rect.x, rect.width, outWidth_, columns_);
  makeAxis(frame.height, rect.y, rect.height, outHeight_, rows_);
  constexpr float kScale = 1.0f / 255.0f;
  const std::uint32_t low = columns_.low;
  const std::size_t span = std::size_t{columns_.high - low} * 4;
  const std::size_t parts = pool != nullptr ? pool->threads() : 1;
  if (lines_.size() < parts) lines_.resize(parts);
  auto sampleRows = [&](std::size_t part, std::size_t from, std::size_t to) {
    std::vector<float>& buffer = lines_[part];
    buffer.resize(span);
    float* line = buffer.data();
    for (std::size_t y = from; y < to; ++y) {
      float* o = out + y * outWidth_ * 3;
      if (rows_.end[y] == rows_.begin[y] || span == 0) {
        std::fill(o, o + std::size_t{outWidth_} * 3, 0.0f);
        continue;
      }
      // Vertical pass over the columns in use, all four bytes of a pixel alike.
      std::fill(line, line + span, 0.0f);
      std::uint32_t row = rows_.first[y];
      for (std::uint32_t k = rows_.begin[y]; k < rows_.end[y]; ++k, ++row) {
        accumulate(line, frame.pixels + row * frame.stride + std::size_t{low} * 4, rows_.weights[k],
                   span);
      }
      // Horizontal pass, BGRA in, RGB out.
      for (std::uint32_t x = 0; x < outWidth_; ++x, o += 3) {
        float r = 0.0f, g = 0.0f, b = 0.0f;
        if (columns_.end[x] > columns_.begin[x]) {
          const float* pixel = line + std::size_t{columns_.first[x] - low} * 4;
          for (std::uint32_t k = columns_.begin[x]; k < columns_.end[x]; ++k, pixel += 4) {
            const float w = columns_.weights[k];
            b += w * pixel[0];
            g += w * pixel[1];
            r += w * pixel[2];
          }
        }
        o[0] = r * kScale;
        o[1] = g * kScale;
        o[2] = b * kScale;
      }
    }
  };
  if (pool != nullptr) {
    pool->split(outHeight_, sampleRows);
  } else {
    sampleRows(0, 0, outHeight_);
  }
}

}  // namespace trelvo::matte
