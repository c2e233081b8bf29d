#include "reduced_frame.h"

#include <algorithm>
#include <cassert>

#include "pixel_loops.h"

namespace trelvo::matte {

namespace {

TRELVO_PIXEL_LOOP
void addRow(std::uint16_t* __restrict sums, const std::uint8_t* __restrict row, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) sums[i] = static_cast<std::uint16_t>(sums[i] + row[i]);
}

// Blocks of two columns: two pixels' sums, four channels each, side by side.
TRELVO_PIXEL_LOOP
void meanOfPairs(const std::uint16_t* __restrict sums, std::uint8_t* __restrict out,
                 std::size_t blocks) {
  for (std::size_t b = 0; b < blocks; ++b) {
    for (std::size_t c = 0; c < 4; ++c) {
      out[b * 4 + c] = static_cast<std::uint8_t>((sums[b * 8 + c] + sums[b * 8 + 4 + c] + 2) >> 2);
    }
  }
}

// Full blocks of `factor` columns, a power of two: the mean by a shift, rounded.
TRELVO_PIXEL_LOOP
void meanOfBlocks(const std::uint16_t* __restrict sums, std::uint8_t* __restrict out,
                  std::size_t blocks, std::uint32_t factor, std::uint32_t shift) {
  const std::uint32_t half = 1u << (shift - 1);
  for (std::size_t b = 0; b < blocks; ++b) {
    for (std::size_t c = 0; c < 4; ++c) {
      std::uint32_t total = half;
      for (std::uint32_t j = 0; j < factor; ++j) total += sums[(b * factor + j) * 4 + c];
      out[b * 4 + c] = static_cast<std::uint8_t>(total >> shift);
    }
  }
}

}  // namespace

std::uint32_t reductionFor(std::uint32_t width, std::uint32_t height, std::uint32_t finest) {
  std::uint32_t factor = 1;
  while (factor < 16 && std::min(width, height) / (factor * 2) >= finest) factor *= 2;
  return factor;
}

void ReducedFrame::reduce(const BgraFrame& frame, std::uint32_t factor, const ThreadPool* pool) {
  assert(factor >= 1 && factor <= 16 && (factor & (factor - 1)) == 0);
  factor_ = factor;
  if (factor == 1) {
    view_ = frame;
    return;
  }
  std::uint32_t log = 0;
  while ((1u << log) < factor) ++log;
  const std::uint32_t width = (frame.width + factor - 1) / factor;
  const std::uint32_t height = (frame.height + factor - 1) / factor;
  const std::size_t stride = std::size_t{width} * 4;
  pixels_.resize(stride * height);
  const std::uint32_t fullBlocks = frame.width / factor;
  const std::size_t parts = pool != nullptr ? pool->threads() : 1;
  if (sums_.size() < parts) sums_.resize(parts);
  auto reduceRows = [&](std::size_t part, std::size_t from, std::size_t to) {
    std::vector<std::uint16_t>& sums = sums_[part];
    sums.resize(std::size_t{width} * factor * 4);
    for (std::size_t y = from; y < to; ++y) {
      const std::uint32_t top = static_cast<std::uint32_t>(y) * factor;
      const std::uint32_t rows = std::min(factor, frame.height - top);
      std::fill(sums.begin(), sums.end(), std::uint16_t{0});
      for (std::uint32_t r = 0; r < rows; ++r) {
        addRow(sums.data(), frame.pixels + (top + r) * frame.stride, std::size_t{frame.width} * 4);
      }
      std::uint8_t* out = pixels_.data() + y * stride;
      if (rows == factor && factor == 2) {
        meanOfPairs(sums.data(), out, fullBlocks);
      } else if (rows == factor) {
        meanOfBlocks(sums.data(), out, fullBlocks, factor, 2 * log);
      }
      // A partial block (the last column, or any in the last row): the mean of what it covers.
      for (std::uint32_t x = rows == factor ? fullBlocks : 0; x < width; ++x) {
        const std::uint32_t columns = std::min(factor, frame.width - x * factor);
        const std::uint32_t count = columns * rows;
        for (std::size_t c = 0; c < 4; ++c) {
          std::uint32_t total = count / 2;
          for (std::uint32_t j = 0; j < columns; ++j) {
            total += sums[(std::size_t{x} * factor + j) * 4 + c];
          }
          out[std::size_t{x} * 4 + c] = static_cast<std::uint8_t>(total / count);
        }
      }
    }
  };
  if (pool != nullptr) {
    pool->split(height, reduceRows);
  } else {
    reduceRows(0, 0, height);
  }
  view_ = {pixels_.data(), width, height, stride};
}

}  // namespace trelvo::matte
