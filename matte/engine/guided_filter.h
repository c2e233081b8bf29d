// The guided filter (He, Sun and Tang) with a colour guide, computed on a small grid.
#pragma once

#include <cstdint>
#include <vector>

#include "thread_pool.h"

namespace trelvo::matte {

// For every cell of a grid, the linear map from the guide's colour to the input that fits best in
// the window around the cell, averaged over all windows holding the cell: output = a . colour + b.
// Applying those maps to a finer picture of the same scene (the fast guided filter) gives the
// input's values with the picture's own edges.
class GuidedFilter {
 public:
  // `guide` is RGB, channels interleaved, `input` one value a cell, both width x height, rows
  // packed. Windows are (2 rx + 1) x (2 ry + 1) cells, cut at the grid's edges; `epsilon`
  // regularises the fit (larger: smoother, fewer edges taken from the guide).
  // With a pool, parts of the grid are computed on its threads.
  void compute(const float* guide, const float* input, std::uint32_t width, std::uint32_t height,
               std::uint32_t rx, std::uint32_t ry, float epsilon, const ThreadPool* pool = nullptr);

  // Coefficients that leave `input` as it is (a = 0, b = input): the same path without refinement.
  void passThrough(const float* input, std::uint32_t width, std::uint32_t height);

  // Steepens the output about one half: every cell's map then gives (output - 0.5) * gain + 0.5.
  void steepen(float gain);

  // After compute: four floats a cell, a_r, a_g, a_b and b.
  const float* coefficients() const { return coefficients_.data(); }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }

 private:
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::vector<float> moments_;  // per cell: I (3), p, I p (3), I I^T (6)
  std::vector<float> means_;
  std::vector<float> fits_;  // per cell: a (3), b
  std::vector<float> coefficients_;
  std::vector<float> rowSums_;
  std::vector<float> columnSums_;
};

// The mean of every (2 rx + 1) x (2 ry + 1) window of `in` (width x height cells of `channels`
// interleaved values), cut at the edges, into `out`. The scratch vectors are reused.
void boxMean(const float* in, float* out, std::uint32_t width, std::uint32_t height,
             std::uint32_t channels, std::uint32_t rx, std::uint32_t ry,
             std::vector<float>& rowSums, std::vector<float>& columnSums,
             const ThreadPool* pool = nullptr);

}  // namespace trelvo::matte
