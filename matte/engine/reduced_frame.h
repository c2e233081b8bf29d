// A frame reduced by a power of two, every pixel the mean of the block of the frame it covers. The
// finder's views and large crops are sampled from it, so a large frame is read once per frame
// rather than once per view.
#pragma once

#include <cstdint>
#include <vector>

#include "segmentation_engine.h"
#include "thread_pool.h"

namespace trelvo::matte {

class ReducedFrame {
 public:
  // Reduces `frame` by `factor`, a power of two from 1 to 16 (1: the frame itself, not copied, so
  // it must outlive the reduction's use). The last column and row of blocks may be partial: their
  // pixels are the means of what there is.
  // With a pool, bands of rows are reduced on its threads.
  void reduce(const BgraFrame& frame, std::uint32_t factor, const ThreadPool* pool = nullptr);

  const BgraFrame& frame() const { return view_; }
  std::uint32_t factor() const { return factor_; }

 private:
  std::vector<std::uint8_t> pixels_;
  // For each band: one row of blocks, summed down its rows.
  std::vector<std::vector<std::uint16_t>> sums_;
  BgraFrame view_;
  std::uint32_t factor_ = 1;
};

// The reduction for a frame: the largest power of two that leaves its shorter side at least
// `finest` pixels, at most 16.
std::uint32_t reductionFor(std::uint32_t width, std::uint32_t height, std::uint32_t finest);

}  // namespace trelvo::matte
