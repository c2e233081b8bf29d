#include "scenes.h"

#include <spng.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace trelvo::matte::testing {

namespace {

bool writeEncoded(const std::string& path, const std::uint8_t* pixels, std::size_t size,
                  std::uint32_t width, std::uint32_t height, std::uint8_t colorType) {
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> encoder(spng_ctx_new(SPNG_CTX_ENCODER),
                                                              spng_ctx_free);
  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "wbe"),
                                                          std::fclose);
  if (!encoder || !file) return false;
  spng_ihdr header{};
  header.width = width;
  header.height = height;
  header.bit_depth = 8;
  header.color_type = colorType;
  return spng_set_png_file(encoder.get(), file.get()) == 0 &&
         spng_set_ihdr(encoder.get(), &header) == 0 &&
         spng_encode_image(encoder.get(), pixels, size, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) == 0;
}

// The photograph's colour at (u, v) in its own pixel coordinates, bilinear, edges clamped.
void samplePhoto(const Image& photo, double u, double v, double rgb[3]) {
  u = std::clamp(u - 0.5, 0.0, photo.width - 1.0);
  v = std::clamp(v - 0.5, 0.0, photo.height - 1.0);
  const auto x0 = static_cast<std::uint32_t>(u);
  const auto y0 = static_cast<std::uint32_t>(v);
  const std::uint32_t x1 = std::min(x0 + 1, photo.width - 1);
  const std::uint32_t y1 = std::min(y0 + 1, photo.height - 1);
  const double fx = u - x0;
  const double fy = v - y0;
  auto at = [&](std::uint32_t x, std::uint32_t y, int c) {
    return static_cast<double>(photo.bgra[(std::size_t{y} * photo.width + x) * 4 + c]);
  };
  for (int c = 0; c < 3; ++c) {
    const double top = at(x0, y0, c) + (at(x1, y0, c) - at(x0, y0, c)) * fx;
    const double bottom = at(x0, y1, c) + (at(x1, y1, c) - at(x0, y1, c)) * fx;
    rgb[c] = top + (bottom - top) * fy;
  }
}

const Region kRegions[] = {
    {"face", 0.39, 0.19, 0.49, 0.29, true},
    {"neck ring", 0.30, 0.37, 0.55, 0.45, true},
    {"suit, chest", 0.30, 0.64, 0.45, 0.78, true},
    {"suit, left arm", 0.10, 0.62, 0.20, 0.80, true},
    {"suit, right shoulder", 0.14, 0.49, 0.21, 0.56, true},
    {"suit, left shoulder", 0.615, 0.527, 0.674, 0.576, true},
    {"wall above the head", 0.36, 0.00, 0.50, 0.02, false},
    {"wall left of the shuttle", 0.62, 0.06, 0.69, 0.16, false},
    {"wall right of the shuttle", 0.92, 0.04, 0.99, 0.20, false},
    {"wall right of the neck ring", 0.63, 0.38, 0.68, 0.46, false},
    {"wall right of the hair", 0.63, 0.24, 0.69, 0.32, false},
    {"flag", 0.00, 0.05, 0.08, 0.30, false},
    {"flag, lower", 0.00, 0.36, 0.07, 0.50, false},
    {"shuttle", 0.76, 0.20, 0.80, 0.40, false},
};

}  // namespace

Image loadPng(const std::string& path) {
  Image image;
  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rbe"),
                                                          std::fclose);
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> decoder(spng_ctx_new(0), spng_ctx_free);
  if (!file || !decoder || spng_set_png_file(decoder.get(), file.get()) != 0) return image;
  spng_ihdr header{};
  std::size_t size = 0;
  if (spng_get_ihdr(decoder.get(), &header) != 0 ||
      spng_decoded_image_size(decoder.get(), SPNG_FMT_RGBA8, &size) != 0) {
    return image;
  }
  std::vector<std::uint8_t> rgba(size);
  if (spng_decode_image(decoder.get(), rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) return image;
  for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) std::swap(rgba[i], rgba[i + 2]);
  image.width = header.width;
  image.height = header.height;
  image.bgra = std::move(rgba);
  return image;
}

bool writePng(const std::string& path, const Image& image) {
  std::vector<std::uint8_t> rgb(std::size_t{image.width} * image.height * 3);
  for (std::size_t i = 0; i < std::size_t{image.width} * image.height; ++i) {
    rgb[3 * i] = image.bgra[4 * i + 2];
    rgb[3 * i + 1] = image.bgra[4 * i + 1];
    rgb[3 * i + 2] = image.bgra[4 * i];
  }
  return writeEncoded(path, rgb.data(), rgb.size(), image.width, image.height,
                      SPNG_COLOR_TYPE_TRUECOLOR);
}

bool writeGrayPng(const std::string& path, const std::uint8_t* pixels, std::uint32_t width,
                  std::uint32_t height) {
  return writeEncoded(path, pixels, std::size_t{width} * height, width, height,
                      SPNG_COLOR_TYPE_GRAYSCALE);
}

const Image& astronaut() {
  static const Image photo = loadPng(std::string(TRELVO_TEST_FIXTURES) + "/astronaut.png");
  return photo;
}

Image backdrop(std::uint32_t width, std::uint32_t height) {
  Image image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 4, 255)};
  for (std::uint32_t y = 0; y < height; ++y) {
    const double down = static_cast<double>(y) / height;
    for (std::uint32_t x = 0; x < width; ++x) {
      const double stripe = 10.0 * std::sin(static_cast<double>(x) / width * 18.0);
      std::uint8_t* p = image.bgra.data() + (std::size_t{y} * width + x) * 4;
      p[0] = static_cast<std::uint8_t>(std::lround(150 - 40 * down + stripe));  // blue
      p[1] = static_cast<std::uint8_t>(std::lround(170 - 50 * down + stripe));  // green
      p[2] = static_cast<std::uint8_t>(std::lround(180 - 60 * down + stripe));  // red
    }
  }
  return image;
}

void paste(Image& frame, const Image& photo, const Placement& at) {
  const double x0 = std::max(0.0, std::floor(at.x));
  const double y0 = std::max(0.0, std::floor(at.y));
  const double x1 = std::min<double>(frame.width, std::ceil(at.x + photo.width * at.scale));
  const double y1 = std::min<double>(frame.height, std::ceil(at.y + photo.height * at.scale));
  // Enough samples a pixel that every photograph pixel under it counts.
  const int n = std::max(1, static_cast<int>(std::ceil(1.0 / at.scale)) + 1);
  for (auto y = static_cast<std::uint32_t>(y0); y < y1; ++y) {
    for (auto x = static_cast<std::uint32_t>(x0); x < x1; ++x) {
      double sum[3] = {0, 0, 0};
      int inside = 0;
      for (int sy = 0; sy < n; ++sy) {
        for (int sx = 0; sx < n; ++sx) {
          const double u = (x + (sx + 0.5) / n - at.x) / at.scale;
          const double v = (y + (sy + 0.5) / n - at.y) / at.scale;
          if (u < 0 || v < 0 || u >= photo.width || v >= photo.height) continue;
          double rgb[3];
          samplePhoto(photo, u, v, rgb);
          for (int c = 0; c < 3; ++c) sum[c] += rgb[c];
          ++inside;
        }
      }
      if (inside == 0) continue;
      std::uint8_t* p = frame.bgra.data() + (std::size_t{y} * frame.width + x) * 4;
      const double share = static_cast<double>(inside) / (n * n);
      for (int c = 0; c < 3; ++c) {
        p[c] = static_cast<std::uint8_t>(std::lround(sum[c] / (n * n) + p[c] * (1.0 - share)));
      }
    }
  }
}

std::span<const Region> astronautRegions() { return kRegions; }

double regionMean(const std::uint8_t* matte, std::uint32_t width, std::uint32_t height,
                  const Region& region, const Placement& at, std::uint32_t photoSide) {
  const double side = photoSide * at.scale;
  const auto x0 = static_cast<long>(std::ceil(at.x + region.left * side));
  const auto x1 = static_cast<long>(std::floor(at.x + region.right * side));
  const auto y0 = static_cast<long>(std::ceil(at.y + region.top * side));
  const auto y1 = static_cast<long>(std::floor(at.y + region.bottom * side));
  double sum = 0.0;
  long count = 0;
  for (long y = std::max(0L, y0); y < std::min<long>(height, y1); ++y) {
    for (long x = std::max(0L, x0); x < std::min<long>(width, x1); ++x) {
      sum += matte[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)];
      ++count;
    }
  }
  return count == 0 ? -1.0 : sum / static_cast<double>(count);
}

}  // namespace trelvo::matte::testing
