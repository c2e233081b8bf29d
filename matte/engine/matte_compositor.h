// The full-resolution matte, composed from the refined results of the crops.
#pragma once

#include <cstdint>
#include <vector>

#include "rect_sampler.h"
#include "segmentation_engine.h"
#include "thread_pool.h"

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
  // With a pool, bands of rows are composed on its threads.
  void compose(const BgraFrame& frame, const CoefficientGrid& grid, const FrameRect& area,
               const FrameRect& fade, double feather, std::uint8_t* matte,
               const ThreadPool* pool = nullptr);

 private:
  // A grid row interpolated at every column of the area: the four coefficients, each a row of its
  // own, and the columns [begin, end) outside which no colour can give a value above zero.
  struct Expanded {
    std::int64_t row = -1;
    std::vector<float> coefficients[4];
    std::size_t begin = 0;
    std::size_t end = 0;
  };
  // `slots` are the two of one band.
  const Expanded& expandedRow(Expanded slots[2], const CoefficientGrid& grid, std::uint32_t row,
                              std::uint32_t keep) const;

  // Per column of the area: the grid columns it reads, the weight of the second, its fade.
  std::vector<std::uint32_t> first_;
  std::vector<std::uint32_t> second_;
  std::vector<float> weight_;
  std::vector<float> fade_;
  std::vector<float> most_;      // per grid cell: the largest value its map gives
  std::vector<Expanded> slots_;  // two per band
};

}  // namespace trelvo::matte
