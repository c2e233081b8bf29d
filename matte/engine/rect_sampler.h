// Any rectangle of a frame to a model's input: RGB floats in [0, 1] at a fixed size.
#pragma once

#include <cstdint>
#include <vector>

#include "segmentation_engine.h"
#include "thread_pool.h"

namespace trelvo::matte {

// A rectangle in frame pixel coordinates (pixel (x, y) covers [x, x + 1) x [y, y + 1)). It may
// reach outside the frame.
struct FrameRect {
  double x = 0.0;
  double y = 0.0;
  double width = 0.0;
  double height = 0.0;
};

// Samples a rectangle of a BGRA frame to outWidth x outHeight RGB, rows packed, channels
// interleaved. Where the rectangle is reduced every output pixel is the mean of the frame area
// it covers (a box prefilter: no aliasing however large the frame); where it is enlarged, plain
// bilinear interpolation. What lies outside the frame reads as black.
class RectSampler {
 public:
  RectSampler(std::uint32_t outWidth, std::uint32_t outHeight);

  // Writes outHeight * outWidth * 3 floats to `out`. The frame must have passed checkFrame and the
  // rectangle must have a positive size. With a pool, bands of rows are sampled on its threads.
  void sample(const BgraFrame& frame, const FrameRect& rect, float* out,
              const ThreadPool* pool = nullptr);

  std::uint32_t outWidth() const { return outWidth_; }
  std::uint32_t outHeight() const { return outHeight_; }

 private:
  // The source pixels one output coordinate reads, with their weights.
  struct Axis {
    std::vector<std::uint32_t> first;  // per output: first source index
    std::vector<std::uint32_t> begin;  // per output: its weights in `weights`, [begin, end)
    std::vector<std::uint32_t> end;
    std::vector<float> weights;
    std::uint32_t low = 0;  // the source indices any output reads: [low, high)
    std::uint32_t high = 0;
  };
  static void makeAxis(std::uint32_t sourceLength, double start, double length,
                       std::uint32_t outLength, Axis& axis);

  std::uint32_t outWidth_;
  std::uint32_t outHeight_;
  Axis columns_;
  Axis rows_;
  // One output row before the horizontal pass, BGRA, for each band.
  std::vector<std::vector<float>> lines_;
};

}  // namespace trelvo::matte
