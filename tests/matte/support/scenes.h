// Pictures of a person for the matte tests and benchmarks: the astronaut photograph, placed and
// scaled on a backdrop, with regions of it labelled by hand.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "segmentation_engine.h"

namespace trelvo::matte::testing {

// A BGRA picture, rows packed.
struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> bgra;

  BgraFrame frame() const { return {bgra.data(), width, height, std::size_t{width} * 4}; }
};

// A PNG file as BGRA; an empty image when it cannot be read.
Image loadPng(const std::string& path);
// PNG files of a BGRA picture (alpha dropped) and of an 8-bit gray picture; false on failure.
bool writePng(const std::string& path, const Image& image);
bool writeGrayPng(const std::string& path, const std::uint8_t* pixels, std::uint32_t width,
                  std::uint32_t height);

// The astronaut photograph (512x512) of the test fixtures.
const Image& astronaut();

// A plain room-like backdrop with no person in it: a soft vertical gradient with broad, faint
// stripes, so it is neither flat nor busy.
Image backdrop(std::uint32_t width, std::uint32_t height);

// Where a photograph lies in a frame: its top-left corner and frame pixels per photograph pixel.
struct Placement {
  double x = 0.0;
  double y = 0.0;
  double scale = 1.0;
};

// Draws `photo` into `frame` at `at`, each frame pixel the mean of the photograph area it covers
// (supersampled), so a reduced photograph does not alias.
void paste(Image& frame, const Image& photo, const Placement& at);

// A region of the astronaut photograph, in fractions of its size.
struct Region {
  const char* name;
  double left, top, right, bottom;
  bool person;
};

// Labelled by hand on the photograph, clear of every edge.
std::span<const Region> astronautRegions();

// The mean of a matte (width x height, one byte a pixel) over `region` of a photograph placed at
// `at`, or -1 when the region covers no pixel.
double regionMean(const std::uint8_t* matte, std::uint32_t width, std::uint32_t height,
                  const Region& region, const Placement& at, std::uint32_t photoSide = 512);

}  // namespace trelvo::matte::testing
