// The matte PNG encoder: every file read back by libspng and by ffmpeg, for each row filter, at the
// sizes where a writer goes wrong (one pixel, odd widths, the widest and the tallest frame).
#include "png_encoder.h"

#include <gtest/gtest.h>
#include <spng.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "common/temp_dir.h"
#include "run_deflate.h"

namespace trelvo::matte {
namespace {

// A matte-like picture: flat runs with ramps between them, and some noise so every filter byte
// value shows up.
GrayImage pattern(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  GrayImage image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height)};
  std::mt19937 rng(seed);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::uint32_t v = (x * 7 + y * 3) % 300;
      std::uint8_t value = v < 100   ? 0
                           : v < 200 ? static_cast<std::uint8_t>(255)
                                     : static_cast<std::uint8_t>(v - 200);
      if (rng() % 5 == 0) value = static_cast<std::uint8_t>(rng());
      image.pixels[std::size_t{y} * width + x] = value;
    }
  }
  return image;
}

std::vector<std::uint8_t> decodeWithSpng(const std::vector<std::uint8_t>& png, std::uint32_t& width,
                                         std::uint32_t& height) {
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> decoder(spng_ctx_new(0), spng_ctx_free);
  spng_ihdr header{};
  std::size_t size = 0;
  // Every CRC and the zlib checksum are checked.
  if (!decoder || spng_set_crc_action(decoder.get(), SPNG_CRC_ERROR, SPNG_CRC_ERROR) != 0 ||
      spng_set_png_buffer(decoder.get(), png.data(), png.size()) != 0 ||
      spng_set_image_limits(decoder.get(), 1u << 20, 1u << 20) != 0 ||
      spng_get_ihdr(decoder.get(), &header) != 0 || header.bit_depth != 8 ||
      header.color_type != SPNG_COLOR_TYPE_GRAYSCALE || header.interlace_method != 0 ||
      spng_decoded_image_size(decoder.get(), SPNG_FMT_PNG, &size) != 0) {
    return {};
  }
  std::vector<std::uint8_t> pixels(size);
  if (spng_decode_image(decoder.get(), pixels.data(), size, SPNG_FMT_PNG, 0) != 0) return {};
  width = header.width;
  height = header.height;
  return pixels;
}

// The picture as ffmpeg decodes the file, 8-bit gray, rows packed.
std::vector<std::uint8_t> decodeWithFfmpeg(const std::string& path) {
  const std::string command = "ffmpeg -nostdin -hide_banner -loglevel error -i '" + path +
                              "' -f rawvideo -pix_fmt gray - 2>/dev/null";
  std::unique_ptr<std::FILE, decltype(&::pclose)> pipe(::popen(command.c_str(), "re"), ::pclose);
  std::vector<std::uint8_t> pixels;
  if (!pipe) return pixels;
  std::uint8_t buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0;) {
    pixels.insert(pixels.end(), buffer, buffer + n);
  }
  return pixels;
}

struct SizeCase {
  std::uint32_t width, height;
};

class PngRoundTrip : public ::testing::TestWithParam<std::tuple<RowFilter, SizeCase>> {};

TEST_P(PngRoundTrip, ReadsBackTheSamePixels) {
  const auto [filter, size] = GetParam();
  const GrayImage image = pattern(size.width, size.height, size.width * 31 + size.height);
  PngEncoder encoder(filter);
  std::vector<std::uint8_t> png;
  ASSERT_TRUE(encoder.encode(image, png));

  std::uint32_t width = 0, height = 0;
  EXPECT_EQ(decodeWithSpng(png, width, height), image.pixels);
  EXPECT_EQ(width, size.width);
  EXPECT_EQ(height, size.height);

  test_common::TempDir dir;
  const std::string path = dir / "matte.png";
  {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wbe"),
                                                            std::fclose);
    ASSERT_TRUE(file);
    ASSERT_EQ(std::fwrite(png.data(), 1, png.size(), file.get()), png.size());
  }
  EXPECT_EQ(decodeWithFfmpeg(path), image.pixels);

  // The same encoder again, on another picture of another size: nothing carried over.
  const GrayImage other = pattern(5, 4, 9);
  ASSERT_TRUE(encoder.encode(other, png));
  EXPECT_EQ(decodeWithSpng(png, width, height), other.pixels);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFilterAndEdgeSize, PngRoundTrip,
    ::testing::Combine(::testing::Values(RowFilter::kNone, RowFilter::kSub, RowFilter::kUp),
                       ::testing::Values(SizeCase{1, 1}, SizeCase{3, 2}, SizeCase{17, 5},
                                         SizeCase{1921, 3}, SizeCase{16384, 2}, SizeCase{2, 16384},
                                         SizeCase{1000, 600})),
    [](const auto& param) {
      const RowFilter filter = std::get<0>(param.param);
      const SizeCase size = std::get<1>(param.param);
      const char* name = filter == RowFilter::kNone  ? "none"
                         : filter == RowFilter::kSub ? "sub"
                                                     : "up";
      return std::string(name) + "_" + std::to_string(size.width) + "x" +
             std::to_string(size.height);
    });

// Every encoder setting reads back the same: libdeflate's levels and the run deflater, on a
// picture that is pure noise (all literals) and one of long runs (all matches).
TEST(PngEncoder, EveryCompressorReadsBack) {
  GrayImage noise{300, 200, std::vector<std::uint8_t>(300 * 200)};
  std::mt19937 rng(5);
  for (std::uint8_t& v : noise.pixels) v = static_cast<std::uint8_t>(rng());
  const GrayImage flat{700, 500, std::vector<std::uint8_t>(700 * 500, 255)};
  for (const int level : {kRunDeflate, 1, 6, 12}) {
    for (const GrayImage* image : std::initializer_list<const GrayImage*>{&noise, &flat}) {
      SCOPED_TRACE("level " + std::to_string(level) + ", " + std::to_string(image->width));
      PngEncoder encoder(RowFilter::kUp, level);
      std::vector<std::uint8_t> png;
      ASSERT_TRUE(encoder.encode(*image, png));
      std::uint32_t width = 0, height = 0;
      EXPECT_EQ(decodeWithSpng(png, width, height), image->pixels);
    }
  }
}

// Code lengths: within their limit, every used symbol coded, and a complete prefix code (Kraft's
// sum exactly one), also for counts whose optimal code would be too deep.
TEST(RunDeflate, CodeLengthsAreCompleteAndWithinTheirLimit) {
  std::vector<std::uint32_t> fibonacci(30, 0);
  fibonacci[0] = fibonacci[1] = 1;
  for (std::size_t i = 2; i < fibonacci.size(); ++i)
    fibonacci[i] = fibonacci[i - 1] + fibonacci[i - 2];
  const std::vector<std::vector<std::uint32_t>> cases = {
      {5, 0, 3},  // two used
      {0, 0, 9},  // one used: one bit
      fibonacci,  // a Huffman code 29 deep
      std::vector<std::uint32_t>(286, 1),
  };
  for (const unsigned limit : {7u, 15u}) {
    for (const auto& counts : cases) {
      const std::vector<std::uint8_t> lengths = limitedCodeLengths(counts, limit);
      ASSERT_EQ(lengths.size(), counts.size());
      if (limit == 7 && counts.size() == 286) {
        // 286 symbols do not fit in codes of 7 bits: none are given.
        EXPECT_EQ(std::count(lengths.begin(), lengths.end(), 0), 286);
        continue;
      }
      double kraft = 0;
      std::size_t used = 0;
      for (std::size_t s = 0; s < counts.size(); ++s) {
        EXPECT_EQ(counts[s] != 0, lengths[s] != 0) << s;
        EXPECT_LE(lengths[s], limit);
        if (lengths[s] != 0) kraft += std::ldexp(1.0, -lengths[s]);
        used += counts[s] != 0;
      }
      if (used >= 2) {
        EXPECT_DOUBLE_EQ(kraft, 1.0);
      }
    }
  }
}

TEST(PngEncoder, RefusesWhatItCannotWrite) {
  PngEncoder encoder;
  const GrayImage cases[] = {
      {0, 0, {}},
      {2, 2, {1, 2, 3}},  // pixels that do not match the size
      {kMaxFrameSide + 1, 1, std::vector<std::uint8_t>(kMaxFrameSide + 1)},
      {1, kMaxFrameSide + 1, std::vector<std::uint8_t>(kMaxFrameSide + 1)},
  };
  for (const GrayImage& image : cases) {
    std::vector<std::uint8_t> png = {1, 2, 3};
    EXPECT_FALSE(encoder.encode(image, png)) << image.width << "x" << image.height;
    EXPECT_TRUE(png.empty());
  }
}

// Mattes are what the filter is chosen for: the same matte is smaller with Up than without.
TEST(PngEncoder, UpMakesMattesSmallerThanNoFilter) {
  GrayImage matte{640, 480, std::vector<std::uint8_t>(640 * 480, 0)};
  for (std::uint32_t y = 0; y < 480; ++y) {
    // An oval person whose edge ramps over a few pixels.
    for (std::uint32_t x = 0; x < 640; ++x) {
      const double dx = (x - 320.0) / 150.0, dy = (y - 260.0) / 220.0;
      const double inside = (1.0 - std::sqrt(dx * dx + dy * dy)) * 40.0;
      matte.pixels[y * 640 + x] = static_cast<std::uint8_t>(std::clamp(inside * 255.0, 0.0, 255.0));
    }
  }
  std::vector<std::uint8_t> up, none;
  ASSERT_TRUE(PngEncoder(RowFilter::kUp).encode(matte, up));
  ASSERT_TRUE(PngEncoder(RowFilter::kNone).encode(matte, none));
  EXPECT_LT(up.size(), none.size());
}

}  // namespace
}  // namespace trelvo::matte
