#include "guided_filter.h"

#include <algorithm>

#include "pixel_loops.h"

namespace trelvo::matte {

namespace {

constexpr std::uint32_t kMoments = 13;
constexpr std::uint32_t kFit = 4;

// How many of the window's cells along one axis lie inside the grid.
std::uint32_t windowCount(std::uint32_t at, std::uint32_t radius, std::uint32_t length) {
  const std::uint32_t from = at >= radius ? at - radius : 0;
  const std::uint32_t to = std::min(at + radius, length - 1);
  return to - from + 1;
}

}  // namespace

// Adds `sign` times `values` to `sums`, `count` of each.
TRELVO_PIXEL_LOOP
void addTo(float* __restrict sums, const float* __restrict values, float sign, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) sums[i] += sign * values[i];
}

TRELVO_PIXEL_LOOP
void scaleInto(float* __restrict out, const float* __restrict sums, const float* __restrict scale,
               float rowScale, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) out[i] = sums[i] * scale[i] * rowScale;
}

void boxMean(const float* in, float* out, std::uint32_t width, std::uint32_t height,
             std::uint32_t channels, std::uint32_t rx, std::uint32_t ry,
             std::vector<float>& rowSums, std::vector<float>& columnSums, const ThreadPool* pool) {
  const std::size_t rowLength = std::size_t{width} * channels;
  rowSums.resize(rowLength * height);
  // Running sums along each row, all channels of a cell at once: add the cell entering the
  // window, drop the one leaving it.
  auto sumRows = [&](std::size_t, std::size_t from, std::size_t to) {
    for (std::size_t y = from; y < to; ++y) {
      const float* row = in + y * rowLength;
      float* sums = rowSums.data() + y * rowLength;
      std::fill(sums, sums + channels, 0.0f);
      for (std::uint32_t x = 0; x <= rx && x < width; ++x) {
        addTo(sums, row + std::size_t{x} * channels, 1.0f, channels);
      }
      for (std::uint32_t x = 1; x < width; ++x) {
        float* here = sums + std::size_t{x} * channels;
        std::copy(here - channels, here, here);
        if (x + rx < width) addTo(here, row + std::size_t{x + rx} * channels, 1.0f, channels);
        if (x > rx) addTo(here, row + std::size_t{x - rx - 1} * channels, -1.0f, channels);
      }
    }
  };
  // Each cell's share of its window along the row, for every value of the row.
  columnSums.resize(2 * rowLength);
  float* column = columnSums.data();
  float* scale = columnSums.data() + rowLength;
  for (std::uint32_t x = 0; x < width; ++x) {
    const float share = 1.0f / static_cast<float>(windowCount(x, rx, width));
    std::fill(scale + std::size_t{x} * channels, scale + std::size_t{x + 1} * channels, share);
  }
  // The same down the columns, a band of values across the row at a time.
  auto sumColumns = [&](std::size_t, std::size_t from, std::size_t to) {
    const std::size_t count = to - from;
    float* sums = column + from;
    std::fill(sums, sums + count, 0.0f);
    for (std::uint32_t y = 0; y <= ry && y < height; ++y) {
      addTo(sums, rowSums.data() + y * rowLength + from, 1.0f, count);
    }
    for (std::uint32_t y = 0; y < height; ++y) {
      const float rowScale = 1.0f / static_cast<float>(windowCount(y, ry, height));
      scaleInto(out + y * rowLength + from, sums, scale + from, rowScale, count);
      if (y + ry + 1 < height) {
        addTo(sums, rowSums.data() + (y + ry + 1) * rowLength + from, 1.0f, count);
      }
      if (y >= ry) addTo(sums, rowSums.data() + (y - ry) * rowLength + from, -1.0f, count);
    }
  };
  if (pool != nullptr) {
    pool->split(height, sumRows);
    pool->split(rowLength, sumColumns);
  } else {
    sumRows(0, 0, height);
    sumColumns(0, 0, rowLength);
  }
}

void GuidedFilter::compute(const float* guide, const float* input, std::uint32_t width,
                           std::uint32_t height, std::uint32_t rx, std::uint32_t ry, float epsilon,
                           const ThreadPool* pool) {
  auto run = [pool](std::size_t count, const ThreadPool::Task& task) {
    if (pool != nullptr) {
      pool->split(count, task);
    } else {
      task(0, 0, count);
    }
  };
  width_ = width;
  height_ = height;
  const std::size_t cells = std::size_t{width} * height;
  moments_.resize(cells * kMoments);
  run(cells, [&](std::size_t, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const float r = guide[3 * i];
      const float g = guide[3 * i + 1];
      const float b = guide[3 * i + 2];
      const float p = input[i];
      float* m = moments_.data() + i * kMoments;
      m[0] = r;
      m[1] = g;
      m[2] = b;
      m[3] = p;
      m[4] = r * p;
      m[5] = g * p;
      m[6] = b * p;
      m[7] = r * r;
      m[8] = r * g;
      m[9] = r * b;
      m[10] = g * g;
      m[11] = g * b;
      m[12] = b * b;
    }
  });
  means_.resize(cells * kMoments);
  boxMean(moments_.data(), means_.data(), width, height, kMoments, rx, ry, rowSums_, columnSums_,
          pool);

  // Per window: a = (cov(I) + epsilon U)^-1 cov(I, p), b = mean(p) - a . mean(I), the 3x3 system
  // solved by its adjugate in double precision.
  fits_.resize(cells * kFit);
  run(cells, [&](std::size_t, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const float* m = means_.data() + i * kMoments;
      const double r = m[0], g = m[1], b = m[2], p = m[3];
      const double cr = m[4] - r * p, cg = m[5] - g * p, cb = m[6] - b * p;
      const double srr = m[7] - r * r + epsilon, srg = m[8] - r * g, srb = m[9] - r * b;
      const double sgg = m[10] - g * g + epsilon, sgb = m[11] - g * b;
      const double sbb = m[12] - b * b + epsilon;
      const double irr = sgg * sbb - sgb * sgb;
      const double irg = srb * sgb - srg * sbb;
      const double irb = srg * sgb - srb * sgg;
      const double igg = srr * sbb - srb * srb;
      const double igb = srb * srg - srr * sgb;
      const double ibb = srr * sgg - srg * srg;
      const double determinant = srr * irr + srg * irg + srb * irb;
      float* fit = fits_.data() + i * kFit;
      if (!(determinant > 0.0)) {
        // Only a non-finite input gets here (epsilon keeps the matrix positive definite): no fit.
        fit[0] = fit[1] = fit[2] = 0.0f;
        fit[3] = static_cast<float>(p);
        continue;
      }
      const double ar = (irr * cr + irg * cg + irb * cb) / determinant;
      const double ag = (irg * cr + igg * cg + igb * cb) / determinant;
      const double ab = (irb * cr + igb * cg + ibb * cb) / determinant;
      fit[0] = static_cast<float>(ar);
      fit[1] = static_cast<float>(ag);
      fit[2] = static_cast<float>(ab);
      fit[3] = static_cast<float>(p - ar * r - ag * g - ab * b);
    }
  });
  coefficients_.resize(cells * kFit);
  boxMean(fits_.data(), coefficients_.data(), width, height, kFit, rx, ry, rowSums_, columnSums_,
          pool);
}

void GuidedFilter::steepen(float gain) {
  for (std::size_t i = 0; i < coefficients_.size(); i += kFit) {
    float* c = coefficients_.data() + i;
    c[0] *= gain;
    c[1] *= gain;
    c[2] *= gain;
    c[3] = (c[3] - 0.5f) * gain + 0.5f;
  }
}

void GuidedFilter::passThrough(const float* input, std::uint32_t width, std::uint32_t height) {
  width_ = width;
  height_ = height;
  const std::size_t cells = std::size_t{width} * height;
  coefficients_.assign(cells * kFit, 0.0f);
  for (std::size_t i = 0; i < cells; ++i) coefficients_[i * kFit + 3] = input[i];
}

}  // namespace trelvo::matte
