// Pictures of mattes for people to look at: panels of a frame, its matte and the person cut out.
#pragma once

#include <cstdint>
#include <vector>

#include "scenes.h"

namespace trelvo::matte::testing {

enum class Panel { kFrame, kMatte, kCutOut };

// `frame` reduced by `factor` (each pixel the mean of factor x factor, any remainder dropped),
// showing the frame itself, its matte (one byte a pixel, the frame's size), or the frame cut out by
// the matte over a checkerboard.
Image panel(const Image& frame, const std::uint8_t* matte, Panel kind, std::uint32_t factor);

// Panels in rows, one row per list, left to right; every panel the size of the first.
Image sheet(const std::vector<std::vector<Image>>& rows);

}  // namespace trelvo::matte::testing
