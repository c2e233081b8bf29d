// Reads a PNG matte file back for the tests.
#pragma once

#include <spng.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trelvo::matte::testing {

struct PngFile {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint8_t bitDepth = 0;
  std::uint8_t colorType = 0;
  std::vector<std::uint8_t> pixels;  // one byte a pixel, as stored for 8-bit gray
};

inline std::optional<PngFile> readPng(const std::string& path) {
  std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rbe"),
                                                          std::fclose);
  if (!file) return std::nullopt;
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> decoder(spng_ctx_new(0), spng_ctx_free);
  if (!decoder || spng_set_png_file(decoder.get(), file.get()) != 0) return std::nullopt;
  spng_ihdr header{};
  if (spng_get_ihdr(decoder.get(), &header) != 0) return std::nullopt;
  PngFile png{header.width, header.height, header.bit_depth, header.color_type, {}};
  std::size_t size = 0;
  if (spng_decoded_image_size(decoder.get(), SPNG_FMT_PNG, &size) != 0) return std::nullopt;
  png.pixels.resize(size);
  if (spng_decode_image(decoder.get(), png.pixels.data(), size, SPNG_FMT_PNG, 0) != 0) {
    return std::nullopt;
  }
  return png;
}

}  // namespace trelvo::matte::testing
