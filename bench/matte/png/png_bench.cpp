// Matte PNG encoders side by side on a folder of mattes: today's libspng settings (no row filter,
// zlib level 1) against the project's encoder with each row filter, with its run deflater and
// with libdeflate at a few levels.
// Prints the time per matte and the mean file size of each, and their ratios to today's.
//
//   matte_png_bench MATTE_DIR
#include <spng.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "png_encoder.h"

namespace {

using trelvo::matte::GrayImage;

std::vector<GrayImage> loadMattes(const std::string& folder) {
  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".png") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<GrayImage> mattes;
  for (const auto& path : paths) {
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rbe"),
                                                            std::fclose);
    std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> decoder(spng_ctx_new(0), spng_ctx_free);
    spng_ihdr header{};
    std::size_t size = 0;
    if (!file || !decoder || spng_set_png_file(decoder.get(), file.get()) != 0 ||
        spng_get_ihdr(decoder.get(), &header) != 0 || header.color_type != 0 ||
        header.bit_depth != 8 || spng_decoded_image_size(decoder.get(), SPNG_FMT_PNG, &size) != 0) {
      continue;
    }
    GrayImage image{header.width, header.height, std::vector<std::uint8_t>(size)};
    if (spng_decode_image(decoder.get(), image.pixels.data(), size, SPNG_FMT_PNG, 0) == 0) {
      mattes.push_back(std::move(image));
    }
  }
  return mattes;
}

// Today's encoder: libspng, no row filter, zlib level 1; or with another filter and strategy.
bool encodeWithSpng(const GrayImage& image, std::vector<std::uint8_t>& png,
                    int filter = SPNG_FILTER_CHOICE_NONE, int strategy = -1) {
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> encoder(spng_ctx_new(SPNG_CTX_ENCODER),
                                                              spng_ctx_free);
  spng_ihdr header{};
  header.width = image.width;
  header.height = image.height;
  header.bit_depth = 8;
  header.color_type = SPNG_COLOR_TYPE_GRAYSCALE;
  if (!encoder || spng_set_option(encoder.get(), SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
      spng_set_option(encoder.get(), SPNG_FILTER_CHOICE, filter) != 0 ||
      (strategy >= 0 &&
       spng_set_option(encoder.get(), SPNG_IMG_COMPRESSION_STRATEGY, strategy) != 0) ||
      spng_set_option(encoder.get(), SPNG_IMG_COMPRESSION_LEVEL, 1) != 0 ||
      spng_set_ihdr(encoder.get(), &header) != 0 ||
      spng_encode_image(encoder.get(), image.pixels.data(), image.pixels.size(), SPNG_FMT_PNG,
                        SPNG_ENCODE_FINALIZE) != 0) {
    return false;
  }
  std::size_t size = 0;
  int error = 0;
  std::unique_ptr<void, decltype(&std::free)> buffer(
      spng_get_png_buffer(encoder.get(), &size, &error), std::free);
  if (!buffer || error != 0) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer.get());
  png.assign(bytes, bytes + size);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace trelvo::matte;
  if (argc != 2) {
    std::fprintf(stderr, "usage: matte_png_bench MATTE_DIR\n");
    return 2;
  }
  const std::vector<GrayImage> mattes = loadMattes(argv[1]);
  if (mattes.empty()) {
    std::fprintf(stderr, "matte_png_bench: no 8-bit gray PNG in %s\n", argv[1]);
    return 1;
  }
  struct Variant {
    std::string name;
    std::function<bool(const GrayImage&, std::vector<std::uint8_t>&)> encode;
  };
  std::vector<Variant> variants{{"libspng, no filter, zlib 1 (today)",
                                 [](const GrayImage& image, std::vector<std::uint8_t>& png) {
                                   return encodeWithSpng(image, png);
                                 }},
                                {"libspng, Up, zlib 1",
                                 [](const GrayImage& image, std::vector<std::uint8_t>& png) {
                                   return encodeWithSpng(image, png, SPNG_FILTER_CHOICE_UP);
                                 }},
                                {"libspng, Up, zlib 1, run lengths only",
                                 [](const GrayImage& image, std::vector<std::uint8_t>& png) {
                                   return encodeWithSpng(image, png, SPNG_FILTER_CHOICE_UP,
                                                         3 /* Z_RLE */);
                                 }}};
  const std::pair<RowFilter, const char*> filters[] = {
      {RowFilter::kNone, "none"}, {RowFilter::kSub, "Sub"}, {RowFilter::kUp, "Up"}};
  std::vector<std::unique_ptr<PngEncoder>> encoders;
  for (const auto& [filter, name] : filters) {
    for (int level : {kRunDeflate, 1, 2, 4, 6}) {
      encoders.push_back(std::make_unique<PngEncoder>(filter, level));
      PngEncoder* encoder = encoders.back().get();
      variants.push_back({level == kRunDeflate ? std::string("run deflater, ") + name
                                               : std::string("libdeflate, ") + name + ", level " +
                                                     std::to_string(level),
                          [encoder](const GrayImage& image, std::vector<std::uint8_t>& png) {
                            return encoder->encode(image, png);
                          }});
    }
  }
  std::printf("%zu mattes of %ux%u from %s\n", mattes.size(), mattes[0].width, mattes[0].height,
              argv[1]);
  std::printf("%-38s %12s %12s %10s %10s\n", "encoder", "ms/matte", "KiB/matte", "time", "size");
  double baseTime = 0, baseSize = 0;
  std::vector<std::uint8_t> png;
  for (const Variant& v : variants) {
    double bytes = 0;
    // Best of three passes over every matte: the least disturbed by the rest of the machine.
    double best = 1e30;
    for (int pass = 0; pass < 3; ++pass) {
      bytes = 0;
      const auto start = std::chrono::steady_clock::now();
      for (const GrayImage& m : mattes) {
        if (!v.encode(m, png)) {
          std::fprintf(stderr, "matte_png_bench: %s failed\n", v.name.c_str());
          return 1;
        }
        bytes += static_cast<double>(png.size());
      }
      best = std::min(
          best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const double ms = 1e3 * best / static_cast<double>(mattes.size());
    const double kib = bytes / static_cast<double>(mattes.size()) / 1024.0;
    if (baseTime == 0) {
      baseTime = ms;
      baseSize = kib;
    }
    std::printf("%-38s %12.2f %12.1f %10.2f %10.2f\n", v.name.c_str(), ms, kib, ms / baseTime,
                kib / baseSize);
  }
  return 0;
}
