// PNG files of 8-bit grayscale mattes: the signature, a header chunk, one data chunk holding the
// filtered rows as one zlib stream, and the end chunk, each chunk with its CRC-32.
#pragma once

#include <cstdint>
#include <vector>

#include "platform.h"
#include "run_deflate.h"

struct libdeflate_compressor;

namespace trelvo::matte {

// The PNG row filters, by their number in the format.
enum class RowFilter : std::uint8_t { kNone = 0, kSub = 1, kUp = 2 };

// Mattes are flat runs of 0 and 255 with smooth edges: each row is mostly the row above it, so
// `Up` leaves mostly zeros, which the run deflater writes about as small as a general deflate and
// several times faster.
inline constexpr RowFilter kMatteFilter = RowFilter::kUp;
inline constexpr int kRunDeflate = 0;

class PngEncoder {
 public:
  // `level` kRunDeflate: the run deflater; 1 to 12: libdeflate at that level.
  explicit PngEncoder(RowFilter filter = kMatteFilter, int level = kRunDeflate);
  ~PngEncoder();
  PngEncoder(const PngEncoder&) = delete;
  PngEncoder& operator=(const PngEncoder&) = delete;

  // The PNG of `image` in `png` (its old content replaced). False, with `png` empty, when the image
  // is empty, does not match its size, is larger than kMaxFrameSide a side, or memory runs out.
  bool encode(const GrayImage& image, std::vector<std::uint8_t>& png);

 private:
  RowFilter filter_;
  libdeflate_compressor* compressor_;  // null for the run deflater
  RunDeflater runs_;
  std::vector<std::uint8_t> stream_;
  std::vector<std::uint8_t> filtered_;  // the rows, each after its filter byte
};

}  // namespace trelvo::matte
