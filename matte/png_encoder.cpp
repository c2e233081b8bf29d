#include "png_encoder.h"

#include <libdeflate.h>

#include <cstring>
#include <new>

namespace trelvo::matte {

namespace {

constexpr std::uint8_t kSignature[8] = {137, 'P', 'N', 'G', '\r', '\n', 26, '\n'};

void put32(std::uint8_t* at, std::uint32_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 24);
  at[1] = static_cast<std::uint8_t>(value >> 16);
  at[2] = static_cast<std::uint8_t>(value >> 8);
  at[3] = static_cast<std::uint8_t>(value);
}

// Writes the length, type and CRC of the chunk whose data (`length` bytes) follows `at` + 8; the
// CRC covers the type and the data.
void sealChunk(std::uint8_t* at, const char type[4], std::uint32_t length) {
  put32(at, length);
  std::memcpy(at + 4, type, 4);
  put32(at + 8 + length,
        static_cast<std::uint32_t>(libdeflate_crc32(0, at + 4, std::size_t{length} + 4)));
}

}  // namespace

PngEncoder::PngEncoder(RowFilter filter, int level)
    : filter_(filter),
      compressor_(level == kRunDeflate ? nullptr : libdeflate_alloc_compressor(level)) {}

PngEncoder::~PngEncoder() {
  if (compressor_ != nullptr) libdeflate_free_compressor(compressor_);
}

bool PngEncoder::encode(const GrayImage& image, std::vector<std::uint8_t>& png) {
  png.clear();
  const std::size_t width = image.width;
  const std::size_t height = image.height;
  if (width == 0 || height == 0 || width > kMaxFrameSide || height > kMaxFrameSide ||
      image.pixels.size() != width * height) {
    return false;
  }
  const std::size_t stride = width + 1;
  try {
    filtered_.resize(stride * height);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const auto filterByte = static_cast<std::uint8_t>(filter_);
  for (std::size_t y = 0; y < height; ++y) {
    const std::uint8_t* row = image.pixels.data() + y * width;
    std::uint8_t* out = filtered_.data() + y * stride;
    out[0] = filterByte;
    ++out;
    switch (filter_) {
      case RowFilter::kNone:
        std::memcpy(out, row, width);
        break;
      case RowFilter::kSub:
        out[0] = row[0];
        for (std::size_t x = 1; x < width; ++x) {
          out[x] = static_cast<std::uint8_t>(row[x] - row[x - 1]);
        }
        break;
      case RowFilter::kUp:
        if (y == 0) {
          std::memcpy(out, row, width);
        } else {
          const std::uint8_t* above = row - width;
          for (std::size_t x = 0; x < width; ++x) {
            out[x] = static_cast<std::uint8_t>(row[x] - above[x]);
          }
        }
        break;
    }
  }

  // The zlib stream of the filtered rows.
  stream_.clear();
  if (compressor_ == nullptr) {
    if (!runs_.compress(filtered_.data(), filtered_.size(), stream_)) return false;
  } else {
    try {
      stream_.resize(libdeflate_zlib_compress_bound(compressor_, filtered_.size()));
    } catch (const std::bad_alloc&) {
      return false;
    }
    stream_.resize(libdeflate_zlib_compress(compressor_, filtered_.data(), filtered_.size(),
                                            stream_.data(), stream_.size()));
  }
  // A chunk's length has 31 bits; at most 16384 x 16384 pixels, a stream never needs them all.
  if (stream_.empty() || stream_.size() > 0x7fffffff) return false;

  // Signature, IHDR (13 bytes of data), IDAT, IEND; each chunk is 12 bytes around its data.
  constexpr std::size_t kHeader = sizeof kSignature + 12 + 13 + 8;
  try {
    png.resize(kHeader + stream_.size() + 4 + 12);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::uint8_t* at = png.data();
  std::memcpy(at, kSignature, sizeof kSignature);
  std::uint8_t* ihdr = at + sizeof kSignature;
  put32(ihdr + 8, static_cast<std::uint32_t>(width));
  put32(ihdr + 12, static_cast<std::uint32_t>(height));
  ihdr[16] = 8;  // bit depth
  ihdr[17] = 0;  // grayscale
  ihdr[18] = 0;  // deflate
  ihdr[19] = 0;  // the five filters
  ihdr[20] = 0;  // not interlaced
  sealChunk(ihdr, "IHDR", 13);
  std::uint8_t* idat = ihdr + 25;
  std::memcpy(idat + 8, stream_.data(), stream_.size());
  sealChunk(idat, "IDAT", static_cast<std::uint32_t>(stream_.size()));
  sealChunk(idat + 12 + stream_.size(), "IEND", 0);
  return true;
}

}  // namespace trelvo::matte
