#include "matte_compositor.h"

#include <algorithm>
#include <cmath>

#include "pixel_loops.h"

namespace trelvo::matte {

namespace {

// A value below half a grey level: nothing to merge.
constexpr float kNothing = 0.5f / 255.0f;

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

// One row of the area: the coefficients interpolated between two expanded rows, applied to the
// frame's colours (BGRA), clamped, faded and merged by the larger value.
// Rows of four coefficients: a_r, a_g, a_b and b.
struct CoefficientRows {
  const float* ar;
  const float* ag;
  const float* ab;
  const float* b;
};

TRELVO_PIXEL_LOOP
void composeRow(CoefficientRows upper, CoefficientRows lower, float weight, float rowFade,
                const float* __restrict columnFade, const std::uint8_t* __restrict bgra,
                std::uint8_t* __restrict out, std::size_t count) {
  constexpr float kScale = 1.0f / 255.0f;
  const float* __restrict uar = upper.ar;
  const float* __restrict uag = upper.ag;
  const float* __restrict uab = upper.ab;
  const float* __restrict ub = upper.b;
  const float* __restrict lar = lower.ar;
  const float* __restrict lag = lower.ag;
  const float* __restrict lab = lower.ab;
  const float* __restrict lb = lower.b;
  for (std::size_t k = 0; k < count; ++k) {
    const float ar = uar[k] + (lar[k] - uar[k]) * weight;
    const float ag = uag[k] + (lag[k] - uag[k]) * weight;
    const float ab = uab[k] + (lab[k] - uab[k]) * weight;
    const float bias = ub[k] + (lb[k] - ub[k]) * weight;
    const float b = bgra[4 * k];
    const float g = bgra[4 * k + 1];
    const float r = bgra[4 * k + 2];
    float q = (ar * r + ag * g + ab * b) * kScale + bias;
    q = q > 0.0f ? q : 0.0f;  // a NaN too
    q = q < 1.0f ? q : 1.0f;
    const float fade = columnFade[k] < rowFade ? columnFade[k] : rowFade;
    const auto value = static_cast<std::uint8_t>(q * fade * 255.0f + 0.5f);
    out[k] = out[k] > value ? out[k] : value;
  }
}

// One coefficient (every fourth float of `cells`) interpolated at every column of the area.
TRELVO_PIXEL_LOOP
void expandChannel(const float* __restrict cells, const std::uint32_t* __restrict first,
                   const std::uint32_t* __restrict second, const float* __restrict weight,
                   float* __restrict out, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    const float a = cells[std::size_t{first[k]} * 4];
    const float b = cells[std::size_t{second[k]} * 4];
    out[k] = a + (b - a) * weight[k];
  }
}

}  // namespace

const MatteCompositor::Expanded& MatteCompositor::expandedRow(Expanded slots[2],
                                                              const CoefficientGrid& grid,
                                                              std::uint32_t row,
                                                              std::uint32_t keep) const {
  for (int s = 0; s < 2; ++s) {
    if (slots[s].row == row) return slots[s];
  }
  // Rows are asked for top to bottom, so the slot not holding `keep` is no longer needed.
  Expanded& slot = slots[slots[0].row == keep ? 1 : 0];
  const std::size_t count = first_.size();
  const float* cells = grid.coefficients + std::size_t{row} * grid.width * 4;
  for (std::size_t c = 0; c < 4; ++c) {
    std::vector<float>& plane = slot.coefficients[c];
    plane.resize(count);
    expandChannel(cells + c, first_.data(), second_.data(), weight_.data(), plane.data(), count);
  }
  // The columns where some colour can give a value: the largest value a cell can give bounds
  // that of any blend of it with its neighbour.
  const float* most = most_.data() + std::size_t{row} * grid.width;
  slot.begin = count;
  slot.end = 0;
  for (std::size_t k = 0; k < count; ++k) {
    // NaN coefficients give zero, but are looked at.
    if (!(most[first_[k]] < kNothing) || !(most[second_[k]] < kNothing)) {
      slot.begin = std::min(slot.begin, k);
      slot.end = k + 1;
    }
  }
  slot.row = row;
  return slot;
}

void MatteCompositor::compose(const BgraFrame& frame, const CoefficientGrid& grid,
                              const FrameRect& area, const FrameRect& fade, double feather,
                              std::uint8_t* matte, const ThreadPool* pool) {
  std::uint32_t x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  pixelSpan(area.x, area.width, frame.width, x0, x1);
  pixelSpan(area.y, area.height, frame.height, y0, y1);
  if (x0 >= x1 || y0 >= y1) return;
  const std::size_t count = x1 - x0;
  first_.resize(count);
  second_.resize(count);
  weight_.resize(count);
  fade_.resize(count);
  for (std::uint32_t x = x0; x < x1; ++x) {
    const std::size_t k = x - x0;
    gridTap(x, grid.rect.x, grid.rect.width, grid.width, fade.x, fade.width, feather, first_[k],
            second_[k], weight_[k], fade_[k]);
  }
  // The largest value each cell's map gives for a colour in [0, 1].
  most_.resize(std::size_t{grid.width} * grid.height);
  for (std::size_t i = 0; i < most_.size(); ++i) {
    const float* c = grid.coefficients + 4 * i;
    most_[i] = std::max(c[0], 0.0f) + std::max(c[1], 0.0f) + std::max(c[2], 0.0f) + c[3];
    if (std::isnan(c[0] + c[1] + c[2] + c[3])) most_[i] = NAN;
  }
  // Bands of rows, each with two expanded rows of its own.
  const std::size_t parts = pool != nullptr ? pool->threads() : 1;
  if (slots_.size() < 2 * parts) slots_.resize(2 * parts);
  auto composeRows = [&](std::size_t part, std::size_t from, std::size_t to) {
    Expanded* slots = slots_.data() + 2 * part;
    slots[0].row = slots[1].row = -1;
    for (std::size_t y = y0 + from; y < y0 + to; ++y) {
      std::uint32_t top = 0, bottom = 0;
      float weight = 0.0f, rowFade = 0.0f;
      gridTap(static_cast<std::uint32_t>(y), grid.rect.y, grid.rect.height, grid.height, fade.y,
              fade.height, feather, top, bottom, weight, rowFade);
      const Expanded& upper = expandedRow(slots, grid, top, bottom);
      const Expanded& lower = expandedRow(slots, grid, bottom, top);
      // Only the columns where either row can give a value.
      const std::size_t begin = std::min(upper.begin, lower.begin);
      const std::size_t end = std::max(upper.end, lower.end);
      if (begin >= end || rowFade <= 0.0f) continue;
      auto rows = [begin](const Expanded& e) {
        return CoefficientRows{e.coefficients[0].data() + begin, e.coefficients[1].data() + begin,
                               e.coefficients[2].data() + begin, e.coefficients[3].data() + begin};
      };
      composeRow(rows(upper), rows(lower), weight, rowFade, fade_.data() + begin,
                 frame.pixels + y * frame.stride + (x0 + begin) * 4,
                 matte + y * frame.width + x0 + begin, end - begin);
    }
  };
  if (pool != nullptr) {
    pool->split(y1 - y0, composeRows);
  } else {
    composeRows(0, 0, y1 - y0);
  }
}

}  // namespace trelvo::matte
