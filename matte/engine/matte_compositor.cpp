#include "matte_compositor.h"

#include <algorithm>
#include <cmath>

namespace trelvo::matte {

namespace {

// The pixels [from, to) whose centres lie in [start, start + length), within [0, limit).
void pixelSpan(double start, double length, std::uint32_t limit, std::uint32_t& from,
               std::uint32_t& to) {
  const double first = std::ceil(start - 0.5);
  const double end = std::ceil(start + length - 0.5);
  from = static_cast<std::uint32_t>(std::clamp(first, 0.0, static_cast<double>(limit)));
  to = static_cast<std::uint32_t>(std::clamp(end, 0.0, static_cast<double>(limit)));
}

// Where pixel `at` samples a grid of `cells` laid over [start, start + length), and its fade.
void gridTap(std::uint32_t at, double start, double length, std::uint32_t cells, double fadeStart,
             double fadeLength, double feather, std::uint32_t& first, std::uint32_t& second,
             float& weight, float& fade) {
  const double centre = at + 0.5;
  const double position =
      std::clamp((centre - start) * cells / length - 0.5, 0.0, static_cast<double>(cells - 1));
  first = static_cast<std::uint32_t>(position);
  second = std::min(first + 1, cells - 1);
  weight = static_cast<float>(position - first);
  const double inside = std::min(centre - fadeStart, fadeStart + fadeLength - centre);
  fade = static_cast<float>(std::clamp(inside / feather, 0.0, 1.0));
}

}  // namespace

const float* MatteCompositor::expandedRow(const CoefficientGrid& grid, std::uint32_t row,
                                          std::uint32_t keep) {
  for (int s = 0; s < 2; ++s) {
    if (slotRow_[s] == row) return slots_[s].data();
  }
  // Rows are asked for top to bottom, so the slot not holding `keep` is no longer needed.
  const int s = slotRow_[0] == keep ? 1 : 0;
  std::vector<float>& slot = slots_[s];
  slot.resize(columns_.size() * 4);
  const float* cells = grid.coefficients + std::size_t{row} * grid.width * 4;
  for (std::size_t k = 0; k < columns_.size(); ++k) {
    const Tap& tap = columns_[k];
    const float* a = cells + std::size_t{tap.first} * 4;
    const float* b = cells + std::size_t{tap.second} * 4;
    for (int c = 0; c < 4; ++c) slot[4 * k + c] = a[c] + (b[c] - a[c]) * tap.weight;
  }
  slotRow_[s] = row;
  return slot.data();
}

void MatteCompositor::compose(const BgraFrame& frame, const CoefficientGrid& grid,
                              const FrameRect& area, const FrameRect& fade, double feather,
                              std::uint8_t* matte) {
  std::uint32_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  pixelSpan(area.x, area.width, frame.width, x0, x1);
  pixelSpan(area.y, area.height, frame.height, y0, y1);
  if (x0 >= x1 || y0 >= y1) return;
  columns_.resize(x1 - x0);
  for (std::uint32_t x = x0; x < x1; ++x) {
    Tap& tap = columns_[x - x0];
    gridTap(x, grid.rect.x, grid.rect.width, grid.width, fade.x, fade.width, feather, tap.first,
            tap.second, tap.weight, tap.fade);
  }
  slotRow_[0] = slotRow_[1] = -1;
  constexpr float kScale = 1.0f / 255.0f;
  for (std::uint32_t y = y0; y < y1; ++y) {
    Tap row;
    gridTap(y, grid.rect.y, grid.rect.height, grid.height, fade.y, fade.height, feather, row.first,
            row.second, row.weight, row.fade);
    const float* upper = expandedRow(grid, row.first, row.second);
    const float* lower = expandedRow(grid, row.second, row.first);
    const std::uint8_t* pixel = frame.pixels + y * frame.stride + std::size_t{x0} * 4;
    std::uint8_t* out = matte + std::size_t{y} * frame.width + x0;
    for (std::size_t k = 0; k < columns_.size(); ++k, pixel += 4) {
      const float* a = upper + 4 * k;
      const float* b = lower + 4 * k;
      const float ar = a[0] + (b[0] - a[0]) * row.weight;
      const float ag = a[1] + (b[1] - a[1]) * row.weight;
      const float ab = a[2] + (b[2] - a[2]) * row.weight;
      const float bias = a[3] + (b[3] - a[3]) * row.weight;
      // BGRA bytes.
      float q = (ar * pixel[2] + ag * pixel[1] + ab * pixel[0]) * kScale + bias;
      q = (q > 0.0f ? std::min(q, 1.0f) : 0.0f) * std::min(columns_[k].fade, row.fade);
      const auto value = static_cast<std::uint8_t>(q * 255.0f + 0.5f);
      out[k] = std::max(out[k], value);
    }
  }
}

}  // namespace trelvo::matte
