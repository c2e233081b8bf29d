#include "pictures.h"

#include <algorithm>
#include <cmath>

namespace trelvo::matte::testing {

Image panel(const Image& frame, const std::uint8_t* matte, Panel kind, std::uint32_t factor) {
  const std::uint32_t w = frame.width / factor, h = frame.height / factor;
  Image out{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4, 255)};
  const double samples = static_cast<double>(factor) * factor;
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      double colour[3] = {0, 0, 0}, alpha = 0;
      for (std::uint32_t sy = 0; sy < factor; ++sy) {
        for (std::uint32_t sx = 0; sx < factor; ++sx) {
          const std::size_t i = std::size_t{factor * y + sy} * frame.width + factor * x + sx;
          for (int c = 0; c < 3; ++c) colour[c] += frame.bgra[4 * i + static_cast<std::size_t>(c)];
          if (matte != nullptr) alpha += matte[i];
        }
      }
      alpha /= samples * 255.0;
      // Squares of 8 panel pixels.
      const double checker = ((x / 8 + y / 8) % 2 == 0) ? 200.0 : 120.0;
      std::uint8_t* p = out.bgra.data() + (std::size_t{y} * w + x) * 4;
      for (int c = 0; c < 3; ++c) {
        double value = colour[c] / samples;
        if (kind == Panel::kMatte) value = alpha * 255.0;
        if (kind == Panel::kCutOut) value = alpha * value + (1 - alpha) * checker;
        p[c] = static_cast<std::uint8_t>(std::lround(value));
      }
    }
  }
  return out;
}

Image sheet(const std::vector<std::vector<Image>>& rows) {
  const std::uint32_t w = rows[0][0].width, h = rows[0][0].height;
  std::size_t columns = 0;
  for (const auto& row : rows) columns = std::max(columns, row.size());
  Image out{
      w * static_cast<std::uint32_t>(columns), h * static_cast<std::uint32_t>(rows.size()), {}};
  out.bgra.assign(std::size_t{out.width} * out.height * 4, 0);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    for (std::size_t c = 0; c < rows[r].size(); ++c) {
      for (std::uint32_t y = 0; y < h; ++y) {
        std::copy_n(rows[r][c].bgra.data() + std::size_t{y} * w * 4, std::size_t{w} * 4,
                    out.bgra.data() + ((r * h + y) * out.width + c * w) * 4);
      }
    }
  }
  return out;
}

}  // namespace trelvo::matte::testing
