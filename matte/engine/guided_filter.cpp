#include "guided_filter.h"

#include <algorithm>

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

void boxMean(const float* in, float* out, std::uint32_t width, std::uint32_t height,
             std::uint32_t channels, std::uint32_t rx, std::uint32_t ry,
             std::vector<float>& rowSums, std::vector<double>& columnSums) {
  const std::size_t rowLength = std::size_t{width} * channels;
  rowSums.resize(rowLength * height);
  // Running sums along each row: add the cell entering the window, drop the one leaving it.
  for (std::uint32_t y = 0; y < height; ++y) {
    const float* row = in + y * rowLength;
    float* sums = rowSums.data() + y * rowLength;
    for (std::uint32_t c = 0; c < channels; ++c) {
      double sum = 0.0;
      for (std::uint32_t x = 0; x <= rx && x < width; ++x)
        sum += row[std::size_t{x} * channels + c];
      for (std::uint32_t x = 0; x < width; ++x) {
        sums[std::size_t{x} * channels + c] = static_cast<float>(sum);
        if (x + rx + 1 < width) sum += row[std::size_t{x + rx + 1} * channels + c];
        if (x >= rx) sum -= row[std::size_t{x - rx} * channels + c];
      }
    }
  }
  // The same down the columns, over whole rows at a time.
  columnSums.assign(rowLength, 0.0);
  auto addRow = [&](std::uint32_t y, double sign) {
    const float* sums = rowSums.data() + y * rowLength;
    for (std::size_t i = 0; i < rowLength; ++i) columnSums[i] += sign * sums[i];
  };
  for (std::uint32_t y = 0; y <= ry && y < height; ++y) addRow(y, 1.0);
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint32_t rows = windowCount(y, ry, height);
    float* target = out + y * rowLength;
    for (std::uint32_t x = 0; x < width; ++x) {
      const double scale = 1.0 / (static_cast<double>(rows) * windowCount(x, rx, width));
      for (std::uint32_t c = 0; c < channels; ++c) {
        const std::size_t i = std::size_t{x} * channels + c;
        target[i] = static_cast<float>(columnSums[i] * scale);
      }
    }
    if (y + ry + 1 < height) addRow(y + ry + 1, 1.0);
    if (y >= ry) addRow(y - ry, -1.0);
  }
}

void GuidedFilter::compute(const float* guide, const float* input, std::uint32_t width,
                           std::uint32_t height, std::uint32_t rx, std::uint32_t ry,
                           float epsilon) {
  width_ = width;
  height_ = height;
  const std::size_t cells = std::size_t{width} * height;
  moments_.resize(cells * kMoments);
  for (std::size_t i = 0; i < cells; ++i) {
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
  means_.resize(cells * kMoments);
  boxMean(moments_.data(), means_.data(), width, height, kMoments, rx, ry, rowSums_, columnSums_);

  // Per window: a = (cov(I) + epsilon U)^-1 cov(I, p), b = mean(p) - a . mean(I), the 3x3 system
  // solved by its adjugate in double precision.
  fits_.resize(cells * kFit);
  for (std::size_t i = 0; i < cells; ++i) {
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
  coefficients_.resize(cells * kFit);
  boxMean(fits_.data(), coefficients_.data(), width, height, kFit, rx, ry, rowSums_, columnSums_);
}

void GuidedFilter::passThrough(const float* input, std::uint32_t width, std::uint32_t height) {
  width_ = width;
  height_ = height;
  const std::size_t cells = std::size_t{width} * height;
  coefficients_.assign(cells * kFit, 0.0f);
  for (std::size_t i = 0; i < cells; ++i) coefficients_[i * kFit + 3] = input[i];
}

}  // namespace trelvo::matte
