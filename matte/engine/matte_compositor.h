// The full-resolution matte, composed from the refined results of the crops.
#pragma once

#include <cstdint>
#include <vector>

#include "rect_sampler.h"
#include "segmentation_engine.h"

namespace trelvo::matte {

// A guided filter's coefficients (four floats a cell: a_r, a_g, a_b, b) and where its grid lies
// on the frame: cell (i, j) covers the i-th of `width` columns and j-th of `height` rows of `rect`.
struct CoefficientGrid {
  const float* coefficients = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  FrameRect rect;
};

// Applies coefficient grids to the frame's own colours at full resolution and merges the results.
class MatteCompositor {
 public:
  // For every pixel whose centre lies in `area` (and in the frame), the grid's linear map,
  // interpolated bilinearly between cell centres, applied to the pixel's colour and clamped to
  // [0, 1]; weighted by a fade from 0 on the edges of `fade` to 1 at `feather` pixels inside them;
  // and merged into `matte` (the frame's size, one byte a pixel, rows packed) by keeping the
  // larger value.
  void compose(const BgraFrame& frame, const CoefficientGrid& grid, const FrameRect& area,
               const FrameRect& fade, double feather, std::uint8_t* matte);

 private:
  struct Tap {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    float weight = 0.0f;  // of the second
    float fade = 0.0f;
  };
  // The grid row `row` interpolated at every column of the area, kept in one of two slots.
  const float* expandedRow(const CoefficientGrid& grid, std::uint32_t row, std::uint32_t keep);

  std::vector<Tap> columns_;
  std::vector<float> slots_[2];
  std::int64_t slotRow_[2] = {-1, -1};
};

}  // namespace trelvo::matte
