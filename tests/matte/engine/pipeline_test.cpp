// The accurate matte pipeline: its parts on small hand-worked inputs, the guided filter against
// plain loops, the temporal blend's rules, and the whole pipeline on people far from the camera.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "guided_filter.h"
#include "matte_compositor.h"
#include "person_matte_pipeline.h"
#include "person_regions.h"
#include "rect_sampler.h"
#include "scenes.h"
#include "temporal_blend.h"

namespace trelvo::matte {
namespace {

using testing::Image;
using testing::Placement;

// A BGRA frame whose pixel (x, y) has blue x, green y and red `red`.
Image ramp(std::uint32_t width, std::uint32_t height, std::uint8_t red = 100) {
  Image image{width, height, std::vector<std::uint8_t>(std::size_t{width} * height * 4, 255)};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t* p = image.bgra.data() + (std::size_t{y} * width + x) * 4;
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = red;
    }
  }
  return image;
}

// ---- RectSampler ----

TEST(RectSampler, ReducesByAreaEnlargesBilinearlyAndIsBlackOutsideTheFrame) {
  const Image frame = ramp(8, 4);
  const float k = 1.0f / 255.0f;
  struct Case {
    const char* name;
    FrameRect rect;
    std::uint32_t width, height;
    // Expected blue and green of some output pixels: {x, y, blue, green}.
    std::vector<std::vector<float>> expected;
  };
  const Case cases[] = {
      // 8x4 to 2x1: each output pixel is the mean of a 4x4 block.
      {"halves by area", {0, 0, 8, 4}, 2, 1, {{0, 0, 1.5f, 1.5f}, {1, 0, 5.5f, 1.5f}}},
      // 8x4 to 3x1: footprints of 8/3 pixels, the partly covered ones weighted by their share.
      {"fractional footprints",
       {0, 0, 8, 4},
       3,
       1,
       {{0, 0, (0 + 1 + 2 * (2.0f / 3)) / (8.0f / 3), 1.5f},
        {1, 0, (2 * (1.0f / 3) + 3 + 4 + 5 * (1.0f / 3)) / (8.0f / 3), 1.5f}}},
      // A square reaching left of the frame: its left half is black, so the mean is halved.
      {"past the left edge", {-4, 0, 8, 4}, 1, 1, {{0, 0, 1.5f * 0.5f, 1.5f * 0.5f}}},
      // Entirely outside: black.
      {"outside", {20, 20, 4, 4}, 2, 2, {{0, 0, 0, 0}, {1, 1, 0, 0}}},
      // 2x2 of the frame to 4x4: bilinear between pixel centres, edges held.
      // Output centres at 2.25, 2.75, ... read pixel values between pixel centres 1.5, 2.5, ...
      {"enlarged",
       {2, 1, 2, 2},
       4,
       4,
       {{0, 0, 1.75f, 0.75f}, {1, 0, 2.25f, 0.75f}, {3, 3, 3.25f, 2.25f}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RectSampler sampler(c.width, c.height);
    std::vector<float> out(std::size_t{c.width} * c.height * 3, -1.0f);
    sampler.sample(frame.frame(), c.rect, out.data());
    for (const auto& e : c.expected) {
      const std::size_t i =
          (static_cast<std::size_t>(e[1]) * c.width + static_cast<std::size_t>(e[0])) * 3;
      EXPECT_NEAR(out[i + 2], e[2] * k, 1e-6f) << "blue at " << e[0] << "," << e[1];
      EXPECT_NEAR(out[i + 1], e[3] * k, 1e-6f) << "green at " << e[0] << "," << e[1];
    }
    // Red is 100 wherever the output lies wholly inside the frame.
    if (c.rect.x >= 0 && c.rect.x + c.rect.width <= 8) {
      EXPECT_NEAR(out[0], 100 * k, 1e-6f);
    }
  }
}

TEST(RectSampler, ReadsOnlyTheFramesOwnBytes) {
  // Exactly the bytes the frame spans, with a padded stride: a read past them trips the
  // sanitizer.
  const std::uint32_t width = 5, height = 3;
  const std::size_t stride = 32;
  std::vector<std::uint8_t> bytes(stride * (height - 1) + width * 4, 77);
  const BgraFrame frame{bytes.data(), width, height, stride};
  for (const FrameRect rect :
       {FrameRect{-3, -3, 11, 11}, FrameRect{4.5, 2.5, 0.7, 0.7}, FrameRect{0, 0, 5, 3}}) {
    RectSampler sampler(7, 4);
    std::vector<float> out(7 * 4 * 3);
    sampler.sample(frame, rect, out.data());
    for (float v : out) EXPECT_LE(v, 77.0f / 255.0f + 1e-6f);
  }
}

// ---- Regions and people ----

TEST(PersonRegions, AreConnectedCellsAboveOneHalfLargestFirstWithoutSpecks) {
  // 40x30 grid: a 6x4 block, a diagonal chain of 24 cells touching only at corners (one region),
  // a 5-cell speck and cells at exactly 0.5 (not person).
  const std::uint32_t w = 40, h = 30;
  std::vector<float> p(w * h, 0.0f);
  auto set = [&](std::uint32_t x, std::uint32_t y, float v) { p[y * w + x] = v; };
  for (std::uint32_t y = 2; y < 6; ++y) {
    for (std::uint32_t x = 1; x < 7; ++x) set(x, y, 0.9f);
  }
  for (std::uint32_t i = 0; i < 24; ++i) set(10 + i, 4 + i, 0.6f);
  for (std::uint32_t x = 30; x < 35; ++x) set(x, 1, 1.0f);
  for (std::uint32_t x = 0; x < 40; ++x) set(x, 29, 0.5f);
  std::vector<std::int32_t> scratch;
  const std::vector<GridRegion> regions = findPersonRegions(p.data(), w, h, scratch);
  ASSERT_EQ(regions.size(), 2u);
  EXPECT_EQ(regions[0].cells, 24u);  // the block, 6 x 4, and the chain tie at 24: reading order
  EXPECT_EQ(regions[0].x0, 1u);
  EXPECT_EQ(regions[0].y0, 2u);
  EXPECT_EQ(regions[0].x1, 7u);
  EXPECT_EQ(regions[0].y1, 6u);
  EXPECT_EQ(regions[1].cells, 24u);
  EXPECT_EQ(regions[1].x0, 10u);
  EXPECT_EQ(regions[1].x1, 34u);
  EXPECT_EQ(regions[1].y1, 28u);

  // A NaN is no person.
  std::vector<float> nan(16 * 16, NAN);
  EXPECT_TRUE(findPersonRegions(nan.data(), 16, 16, scratch).empty());
}

TEST(FinderViews, TileFramesFarFromSquare) {
  struct Case {
    std::uint32_t width, height;
    std::vector<FrameRect> views;
  };
  const Case cases[] = {
      {1920,
       1080,
       {{0, 0, 1080, 1080}, {420, 0, 1080, 1080}, {840, 0, 1080, 1080}, {0, 0, 1920, 1080}}},
      {640, 480, {{0, 0, 640, 480}}},  // 4:3: the whole frame only
      {100,
       300,
       {{0, 0, 100, 100},
        {0, 50, 100, 100},
        {0, 100, 100, 100},
        {0, 150, 100, 100},
        {0, 200, 100, 100},
        {0, 0, 100, 300}}},
      {1, 1, {{0, 0, 1, 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    const std::vector<FrameRect> views = finderViews(c.width, c.height);
    ASSERT_EQ(views.size(), c.views.size());
    for (std::size_t i = 0; i < views.size(); ++i) {
      EXPECT_DOUBLE_EQ(views[i].x, c.views[i].x);
      EXPECT_DOUBLE_EQ(views[i].y, c.views[i].y);
      EXPECT_DOUBLE_EQ(views[i].width, c.views[i].width);
      EXPECT_DOUBLE_EQ(views[i].height, c.views[i].height);
    }
  }
}

TEST(RegionBoxes, MapGridCellsOntoTheirView) {
  std::vector<PersonBox> boxes;
  addRegionBoxes({{2, 4, 6, 8, 10}}, 16, 16, {100, 50, 160, 80}, boxes);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_DOUBLE_EQ(boxes[0].x0, 120);
  EXPECT_DOUBLE_EQ(boxes[0].x1, 160);
  EXPECT_DOUBLE_EQ(boxes[0].y0, 70);
  EXPECT_DOUBLE_EQ(boxes[0].y1, 90);
  EXPECT_DOUBLE_EQ(boxes[0].area, 10 * 10.0 * 5.0);
}

PersonBox box(double x0, double y0, double x1, double y1, double area = 0) {
  return {x0, y0, x1, y1, area > 0 ? area : (x1 - x0) * (y1 - y0), 0};
}

TEST(FindPeople, MergesPiecesKeepsNeighboursApartAndDropsGroupBlobs) {
  struct Case {
    const char* name;
    std::vector<PersonBox> boxes;
    std::vector<PersonBox> crops;  // the boxes of the crops, largest first
    std::size_t others = 0;
  };
  const Case cases[] = {
      {"one", {box(100, 100, 200, 400)}, {box(100, 100, 200, 400)}},
      // A head above a body: their crops overlap by more than half of the head's.
      {"split at the neck",
       {box(100, 200, 220, 400), box(130, 140, 190, 200)},
       {box(100, 140, 220, 400)}},
      // Overlapping parts of about one size, and a piece a little apart: one person each.
      {"overlapping parts",
       {box(305, 609, 497, 872), box(420, 700, 580, 873)},
       {box(305, 609, 580, 873)}},
      {"a piece a little apart",
       {box(420, 603, 572, 869), box(308, 658, 345, 717)},
       {box(308, 603, 572, 869)}},
      // Two people a little apart, of one size.
      {"side by side",
       {box(100, 100, 200, 400), box(260, 100, 360, 400)},
       {box(100, 100, 200, 400), box(260, 100, 360, 400)}},
      // A coarse view's blob holding both of them goes.
      {"group blob",
       {box(90, 90, 370, 410), box(100, 100, 200, 400), box(260, 100, 360, 400)},
       {box(100, 100, 200, 400), box(260, 100, 360, 400)}},
      // Pieces of one person inside a whole do not make it a group.
      {"pieces inside a whole",
       {box(100, 100, 300, 500), box(120, 120, 150, 150), box(220, 400, 260, 450)},
       {box(100, 100, 300, 500)}},
      // Six apart: four crops, largest first, two others.
      {"more than four",
       {box(0, 0, 50, 100, 10), box(100, 0, 150, 100, 60), box(200, 0, 250, 100, 30),
        box(300, 0, 350, 100, 50), box(400, 0, 450, 100, 20), box(500, 0, 550, 100, 40)},
       {box(100, 0, 150, 100), box(300, 0, 350, 100), box(500, 0, 550, 100), box(200, 0, 250, 100)},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const People people = findPeople(c.boxes, 1080);
    ASSERT_EQ(people.crops.size(), c.crops.size());
    for (std::size_t i = 0; i < c.crops.size(); ++i) {
      const PersonBox& b = people.crops[i].box;
      EXPECT_DOUBLE_EQ(b.x0, c.crops[i].x0);
      EXPECT_DOUBLE_EQ(b.y0, c.crops[i].y0);
      EXPECT_DOUBLE_EQ(b.x1, c.crops[i].x1);
      EXPECT_DOUBLE_EQ(b.y1, c.crops[i].y1);
    }
    EXPECT_EQ(people.others.size(), c.others);
  }
}

TEST(Crops, AreSquaresWithAMarginThatShrinksAsThePersonFillsTheFrame) {
  struct Case {
    PersonBox box;
    double margin;
  };
  const Case cases[] = {
      {box(100, 100, 200, 400), kCropMargin},  // 300 of 1080: far
      {box(0, 0, 200, 540), kCropMargin},      // half the height
      {box(0, 0, 400, 810), (kCropMargin + kCloseMargin) / 2},
      {box(0, 0, 1500, 1080), kCloseMargin},  // fills the frame
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(cropMargin(c.box, 1080), c.margin);
    const PersonCrop crop = cropAround(c.box, c.margin);
    EXPECT_DOUBLE_EQ(crop.centreX, (c.box.x0 + c.box.x1) / 2);
    EXPECT_DOUBLE_EQ(crop.centreY, (c.box.y0 + c.box.y1) / 2);
    EXPECT_DOUBLE_EQ(crop.side, c.margin * std::max(c.box.x1 - c.box.x0, c.box.y1 - c.box.y0));
    EXPECT_DOUBLE_EQ(crop.rect().width, crop.side);
    EXPECT_DOUBLE_EQ(crop.rect().x, crop.centreX - crop.side / 2);
  }
}

TEST(MaskBox, IsTheBoxOfAMaskBigEnoughToFollow) {
  std::vector<float> p(100 * 100, 0.0f);
  for (std::uint32_t y = 10; y < 30; ++y) {
    for (std::uint32_t x = 40; x < 50; ++x) p[y * 100 + x] = 0.8f;
  }
  PersonBox b;
  ASSERT_TRUE(maskBox(p.data(), 100, 100, {1000, 0, 200, 200}, b));
  EXPECT_DOUBLE_EQ(b.x0, 1080);
  EXPECT_DOUBLE_EQ(b.x1, 1100);
  EXPECT_DOUBLE_EQ(b.y0, 20);
  EXPECT_DOUBLE_EQ(b.y1, 60);
  EXPECT_DOUBLE_EQ(b.area, 200 * 4.0);
  // Under a fiftieth of the grid: nothing to follow.
  std::fill(p.begin(), p.end(), 0.0f);
  for (std::uint32_t x = 0; x < 199; ++x) p[x] = 1.0f;
  EXPECT_FALSE(maskBox(p.data(), 100, 100, {0, 0, 100, 100}, b));
}

TEST(CropTracker, DampsJitterFollowsMovesAndAlwaysHoldsTheBox) {
  CropTracker tracker;
  std::vector<PersonCrop> crops = {cropAround(box(400, 200, 600, 800))};
  tracker.steady(crops);
  const PersonCrop first = crops[0];

  // Detections jittering by four pixels: the crop moves by a fifth of that.
  crops = {cropAround(box(404, 200, 604, 800))};
  tracker.steady(crops);
  EXPECT_NEAR(crops[0].centreX, first.centreX + 0.8, 1e-9);
  EXPECT_NEAR(crops[0].side, first.side, 1e-9);

  // A move of a third of the side is followed at once.
  crops = {cropAround(box(700, 200, 900, 800))};
  tracker.steady(crops);
  EXPECT_NEAR(crops[0].centreX, 800, 1e-9);

  // Growth beyond the steadied crop: it still holds the box, with room.
  tracker.reset();
  crops = {cropAround(box(400, 200, 600, 800))};
  tracker.steady(crops);
  const PersonBox tall = box(395, 150, 605, 810);
  crops = {cropAround(tall, 1.0)};  // a crop no larger than its box
  tracker.steady(crops);
  const FrameRect r = crops[0].rect();
  EXPECT_LE(r.x, tall.x0);
  EXPECT_LE(r.y, tall.y0);
  EXPECT_GE(r.x + r.width, tall.x1);
  EXPECT_GE(r.y + r.height, tall.y1);

  // A crop elsewhere has no counterpart and stays as it is.
  const PersonCrop elsewhere = cropAround(box(1500, 100, 1600, 300));
  crops = {elsewhere};
  tracker.steady(crops);
  EXPECT_DOUBLE_EQ(crops[0].centreX, elsewhere.centreX);
  EXPECT_DOUBLE_EQ(crops[0].side, elsewhere.side);
}

// ---- Guided filter ----

// The guided filter in plain loops and double precision, straight from its definition.
std::vector<double> referenceGuidedFilter(const std::vector<float>& guide,
                                          const std::vector<float>& input, std::uint32_t w,
                                          std::uint32_t h, int rx, int ry, double eps) {
  auto windowMean = [&](auto value, std::uint32_t x, std::uint32_t y) {
    double sum = 0;
    int n = 0;
    for (int j = static_cast<int>(y) - ry; j <= static_cast<int>(y) + ry; ++j) {
      for (int i = static_cast<int>(x) - rx; i <= static_cast<int>(x) + rx; ++i) {
        if (i < 0 || j < 0 || i >= static_cast<int>(w) || j >= static_cast<int>(h)) continue;
        sum += value(static_cast<std::size_t>(j) * w + static_cast<std::size_t>(i));
        ++n;
      }
    }
    return sum / n;
  };
  const std::size_t cells = std::size_t{w} * h;
  std::vector<double> fit(cells * 4);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      double mean[3], cov[3], sigma[3][3];
      const double p = windowMean([&](std::size_t k) { return input[k]; }, x, y);
      for (int c = 0; c < 3; ++c) {
        mean[c] = windowMean([&](std::size_t k) { return guide[3 * k + c]; }, x, y);
        cov[c] = windowMean([&](std::size_t k) { return guide[3 * k + c] * input[k]; }, x, y) -
                 mean[c] * p;
      }
      for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
          sigma[a][b] = windowMean(
                            [&](std::size_t k) {
                              return static_cast<double>(guide[3 * k + a]) * guide[3 * k + b];
                            },
                            x, y) -
                        mean[a] * mean[b] + (a == b ? eps : 0.0);
        }
      }
      // Cramer's rule.
      auto det = [](double m[3][3]) {
        return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
               m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
               m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
      };
      const double d = det(sigma);
      double* f = &fit[(std::size_t{y} * w + x) * 4];
      for (int c = 0; c < 3; ++c) {
        double m[3][3];
        for (int a = 0; a < 3; ++a) {
          for (int b = 0; b < 3; ++b) m[a][b] = b == c ? cov[a] : sigma[a][b];
        }
        f[c] = det(m) / d;
      }
      f[3] = p - f[0] * mean[0] - f[1] * mean[1] - f[2] * mean[2];
    }
  }
  std::vector<double> averaged(cells * 4);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      for (int c = 0; c < 4; ++c) {
        averaged[(std::size_t{y} * w + x) * 4 + static_cast<std::size_t>(c)] = windowMean(
            [&](std::size_t k) { return fit[4 * k + static_cast<std::size_t>(c)]; }, x, y);
      }
    }
  }
  return averaged;
}

TEST(GuidedFilter, MatchesThePlainLoops) {
  struct Case {
    std::uint32_t width, height, rx, ry;
    float epsilon;
  };
  const Case cases[] = {{9, 7, 1, 1, 1e-3f},
                        {16, 12, 3, 2, 1e-2f},
                        {5, 11, 4, 6, 1e-3f},
                        {1, 1, 2, 2, 1e-3f},
                        {24, 20, 2, 2, 1e-4f}};
  std::mt19937 rng(20261211);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " r " +
                 std::to_string(c.rx) + "," + std::to_string(c.ry));
    const std::size_t cells = std::size_t{c.width} * c.height;
    std::vector<float> guide(cells * 3), input(cells);
    // An edge: the left part dark and person, the right bright and background, plus noise.
    for (std::size_t i = 0; i < cells; ++i) {
      const bool left = i % c.width < c.width / 2;
      for (int k = 0; k < 3; ++k) guide[3 * i + k] = (left ? 0.2f : 0.8f) + 0.1f * unit(rng);
      input[i] = std::clamp((left ? 0.9f : 0.1f) + 0.2f * (unit(rng) - 0.5f), 0.0f, 1.0f);
    }
    GuidedFilter filter;
    filter.compute(guide.data(), input.data(), c.width, c.height, c.rx, c.ry, c.epsilon);
    const std::vector<double> expected = referenceGuidedFilter(
        guide, input, c.width, c.height, static_cast<int>(c.rx), static_cast<int>(c.ry), c.epsilon);
    double worstOutput = 0;
    for (std::size_t i = 0; i < cells; ++i) {
      const float* a = filter.coefficients() + 4 * i;
      const double* e = expected.data() + 4 * i;
      double out = a[3], want = e[3];
      for (int k = 0; k < 3; ++k) {
        out += a[k] * guide[3 * i + k];
        want += e[k] * guide[3 * i + k];
      }
      worstOutput = std::max(worstOutput, std::abs(out - want));
    }
    EXPECT_LE(worstOutput, 1e-4);
  }
}

TEST(GuidedFilter, FollowsTheGuidesEdgeAndPassesThroughWhenAsked) {
  // A soft input across a sharp edge of the guide comes out sharp.
  const std::uint32_t w = 32, h = 4;
  std::vector<float> guide(w * h * 3), input(w * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::size_t i = y * w + x;
      for (int k = 0; k < 3; ++k) guide[3 * i + k] = x < 16 ? 0.1f : 0.9f;
      input[i] =
          std::clamp((20.0f - static_cast<float>(x)) / 8.0f, 0.0f, 1.0f);  // 1 to 0 over x 12..20
    }
  }
  GuidedFilter filter;
  filter.compute(guide.data(), input.data(), w, h, 4, 1, 1e-4f);
  auto output = [&](std::uint32_t x) {
    const float* a = filter.coefficients() + 4 * (w + x);
    return a[0] * guide[3 * (w + x)] + a[1] * guide[3 * (w + x) + 1] +
           a[2] * guide[3 * (w + x) + 2] + a[3];
  };
  // The output's largest step lies on the guide's edge, four times the input's own step there.
  std::uint32_t steepest = 0;
  for (std::uint32_t x = 1; x < w; ++x) {
    if (output(x - 1) - output(x) > output(steepest) - output(steepest + 1)) steepest = x - 1;
  }
  EXPECT_EQ(steepest, 15u);
  EXPECT_GT(output(15) - output(16), 4 * (input[w + 15] - input[w + 16]));
  EXPECT_GT(output(12), 0.8f);
  EXPECT_LT(output(19), 0.2f);

  filter.passThrough(input.data(), w, h);
  for (std::uint32_t x = 0; x < w; ++x) EXPECT_FLOAT_EQ(output(x), input[w + x]);
}

TEST(GuidedFilter, SteepensAboutOneHalf) {
  // Coefficients that give 0.5, 0.6 and 0.9 for a grey of 0.4: steepened by 1.5 they give 0.5,
  // 0.65 and 1.1 (clamped later), and the outline at 0.5 stays where it was.
  const std::vector<float> input = {0.5f, 0.6f, 0.9f};
  std::vector<float> guide(9, 0.4f);
  GuidedFilter filter;
  filter.passThrough(input.data(), 3, 1);
  filter.steepen(1.5f);
  const float expected[] = {0.5f, 0.65f, 1.1f};
  for (int i = 0; i < 3; ++i) {
    const float* a = filter.coefficients() + 4 * i;
    EXPECT_NEAR(a[0] * 0.4f + a[1] * 0.4f + a[2] * 0.4f + a[3], expected[i], 1e-6f);
  }
  // With colour terms: a = 0.2 each, b = 0.1 becomes a = 0.3 each, b = -0.1.
  filter.compute(guide.data(), input.data(), 3, 1, 1, 1, 1e-3f);
  std::vector<float> before(filter.coefficients(), filter.coefficients() + 12);
  filter.steepen(1.5f);
  for (int i = 0; i < 3; ++i) {
    for (int c = 0; c < 3; ++c)
      EXPECT_FLOAT_EQ(filter.coefficients()[4 * i + c], 1.5f * before[4 * i + c]);
    EXPECT_FLOAT_EQ(filter.coefficients()[4 * i + 3], (before[4 * i + 3] - 0.5f) * 1.5f + 0.5f);
  }
}

// ---- Composition ----

TEST(MatteCompositor, FadesAtTheCropsEdgesAndKeepsTheLargerValue) {
  // 20x10 frame, a grid whose coefficients say "0.8 everywhere" over a crop reaching past the
  // frame's left edge, faded over 4 pixels.
  const Image frame = ramp(20, 10);
  std::vector<float> coefficients(2 * 2 * 4, 0.0f);
  for (int i = 0; i < 4; ++i) coefficients[static_cast<std::size_t>(4 * i + 3)] = 0.8f;
  const FrameRect crop{-5, 0, 15, 10};
  std::vector<std::uint8_t> matte(20 * 10, 0);
  matte[9 * 20 + 15] = 30;  // left as it is: outside the crop
  matte[5 * 20 + 5] = 250;  // larger than the crop's value: kept
  MatteCompositor compositor;
  compositor.compose(frame.frame(), {coefficients.data(), 2, 2, crop}, crop, crop, 4.0,
                     matte.data());
  auto at = [&](std::uint32_t x, std::uint32_t y) { return static_cast<int>(matte[y * 20 + x]); };
  EXPECT_EQ(at(0, 5), 204);  // 0.8, the crop's own edge is beyond the frame
  EXPECT_EQ(at(5, 5), 250);
  // Towards the crop's right edge at x = 10: pixel centres 8.5 and 9.5 are 1.5 and 0.5 inside.
  EXPECT_NEAR(at(8, 5), 0.8 * 1.5 / 4 * 255, 1);
  EXPECT_NEAR(at(9, 5), 0.8 * 0.5 / 4 * 255, 1);
  EXPECT_NEAR(at(5, 0), 0.8 * 0.5 / 4 * 255, 1);  // top edge
  EXPECT_EQ(at(10, 5), 0);
  EXPECT_EQ(at(15, 9), 30);

  // A linear map of the colour: a = (1, 0, 0) on red (100 everywhere), then b; clamped to [0, 1].
  for (const float bias : {-0.2f, -0.5f, 0.9f}) {
    SCOPED_TRACE(bias);
    const std::vector<float> red = {1.0f, 0.0f, 0.0f, bias};
    std::vector<std::uint8_t> other(20 * 10, 0);
    compositor.compose(frame.frame(), {red.data(), 1, 1, {0, 0, 20, 10}}, {0, 0, 20, 10},
                       {-100, -100, 220, 210}, 1.0, other.data());
    const double expected = std::clamp(100.0 / 255.0 + bias, 0.0, 1.0) * 255;
    for (std::uint8_t v : other) ASSERT_NEAR(v, expected, 1);
  }
}

// ---- Temporal blend ----

TEST(TemporalBlend, UncertaintyFallsFromTheMiddleToTheEnds) {
  EXPECT_FLOAT_EQ(uncertainty(0.5f), 1.0f);
  EXPECT_NEAR(uncertainty(0.0f), 0.0f, 1e-4f);
  EXPECT_NEAR(uncertainty(1.0f), 0.0f, 1e-4f);
  float last = 1.0f;
  for (int v = 128; v <= 255; ++v) {
    const float u = uncertainty(static_cast<float>(v) / 255.0f);
    EXPECT_GE(u, 0.0f);
    EXPECT_LE(u, last + 1e-6f) << v;
    EXPECT_NEAR(u, uncertainty(static_cast<float>(255 - v) / 255.0f), 1e-2f) << v;
    last = u;
  }
}

TEST(TemporalBlend, BlendsOnlyUncertainPixelsAndStartsAfreshWhenAsked) {
  TemporalBlend blend(0.9f);
  std::vector<std::uint8_t> first = {0, 255, 128, 128, 250, 10};
  blend.apply(first.data(), first.size(), true);
  EXPECT_EQ(first, (std::vector<std::uint8_t>{0, 255, 128, 128, 250, 10}));  // fresh: unchanged

  // The next frame: confident pixels (0 and 255) keep their new value, whatever came before; the
  // uncertain middle moves most of the way back to the last result.
  std::vector<std::uint8_t> second = {255, 0, 128, 138, 250, 10};
  blend.apply(second.data(), second.size(), false);
  EXPECT_EQ(second[0], 255);  // no ghost of the background
  EXPECT_EQ(second[1], 0);    // no ghost of the person
  EXPECT_EQ(second[2], 128);  // the same value: nothing to blend
  const int expected = 138 - static_cast<int>(std::lround(10 * uncertainty(138 / 255.0f) * 0.9));
  EXPECT_NEAR(second[3], expected, 1);
  EXPECT_EQ(second[4], 250);
  EXPECT_EQ(second[5], 10);

  // After a reset (or a new size) the frame is taken as it is.
  std::vector<std::uint8_t> third = {128, 128, 0, 0, 0, 0};
  blend.apply(third.data(), third.size(), true);
  EXPECT_EQ(third[0], 128);
  std::vector<std::uint8_t> smaller = {10, 128};
  blend.apply(smaller.data(), smaller.size(), false);
  EXPECT_EQ(smaller, (std::vector<std::uint8_t>{10, 128}));
}

// ---- The whole pipeline ----

std::unique_ptr<PersonMattePipeline> makePipeline(const PipelineSettings& settings = {}) {
  std::string error;
  auto pipeline =
      PersonMattePipeline::create(embeddedModel(), embeddedPersonModel(), 1, error, settings);
  EXPECT_NE(pipeline, nullptr) << error;
  return pipeline;
}

// Checks the labelled regions of every placed photograph; false when any misses.
bool regionsPass(const PersonMask& matte, const std::vector<Placement>& people, bool report) {
  bool pass = true;
  for (const Placement& at : people) {
    for (const testing::Region& r : testing::astronautRegions()) {
      const double mean =
          testing::regionMean(matte.pixels.data(), matte.width, matte.height, r, at);
      const bool ok = r.person ? mean >= 200.0 : mean >= 0.0 && mean <= 40.0;
      if (!ok && report) ADD_FAILURE() << r.name << ": " << mean;
      pass = pass && ok;
    }
  }
  return pass;
}

// People far from the camera, a quarter of the frame's height: the single pass loses them; the
// accurate matte marks every labelled region right.
TEST(AccurateMatte, FindsPeopleFarFromTheCameraWhereTheSinglePassFails) {
  const double scale = 270.0 / 512.0;
  const std::vector<std::vector<Placement>> scenes = {
      {{200, 690, scale}}, {{1440, 330, scale}}, {{690, 500, scale}, {960, 500, scale}}};
  std::string error;
  auto single = SegmentationEngine::create(embeddedModel(), 1, error);
  ASSERT_NE(single, nullptr) << error;
  for (const auto& people : scenes) {
    SCOPED_TRACE(std::to_string(people.size()) + " at " + std::to_string(people[0].x));
    testing::Image frame = testing::backdrop(1920, 1080);
    for (const Placement& at : people) testing::paste(frame, testing::astronaut(), at);

    auto pipeline = makePipeline();
    PersonMask accurate;
    ASSERT_TRUE(pipeline->segment(frame.frame(), accurate, error)) << error;
    ASSERT_EQ(accurate.width, 1920u);
    ASSERT_EQ(accurate.height, 1080u);
    EXPECT_TRUE(regionsPass(accurate, people, true));
    EXPECT_EQ(pipeline->people().crops.size(), people.size());

    // Today's single pass, its mask stretched to the frame.
    PersonMask mask;
    ASSERT_TRUE(single->segment(frame.frame(), mask, error)) << error;
    PersonMask stretched{1920, 1080, std::vector<std::uint8_t>(1920 * 1080)};
    for (std::uint32_t y = 0; y < 1080; ++y) {
      for (std::uint32_t x = 0; x < 1920; ++x) {
        stretched.pixels[y * 1920 + x] =
            mask.pixels[(y * mask.height / 1080) * mask.width + x * mask.width / 1920];
      }
    }
    EXPECT_FALSE(regionsPass(stretched, people, false));
  }
}

TEST(AccurateMatte, IsTheSameOnEveryRunAndBlendsOnlyWhatIsUncertain) {
  // A person walking: two runs give the same mattes; within a run, frame 2's matte differs from
  // that of a pipeline that sees frame 2 first only where that one is uncertain.
  const double scale = 270.0 / 512.0;
  std::vector<testing::Image> frames;
  for (int t = 0; t < 3; ++t) {
    frames.push_back(testing::backdrop(1920, 1080));
    testing::paste(frames.back(), testing::astronaut(), {300.0 + 6 * t, 600.0, scale});
  }
  std::string error;
  std::vector<std::vector<std::uint8_t>> runs[2];
  for (auto& run : runs) {
    auto pipeline = makePipeline();
    for (const testing::Image& frame : frames) {
      PersonMask matte;
      ASSERT_TRUE(pipeline->segment(frame.frame(), matte, error)) << error;
      run.push_back(matte.pixels);
    }
  }
  EXPECT_EQ(runs[0], runs[1]);

  // Without the blend, on the same crops, frame 2 alone.
  PipelineSettings unblended;
  unblended.temporalRatio = 0.0f;
  auto plain = makePipeline(unblended);
  std::vector<std::uint8_t> alone;
  for (const testing::Image& frame : frames) {
    PersonMask matte;
    ASSERT_TRUE(plain->segment(frame.frame(), matte, error)) << error;
    alone = matte.pixels;
  }
  std::size_t blended = 0;
  for (std::size_t i = 0; i < alone.size(); ++i) {
    if (alone[i] == 0 || alone[i] == 255) {
      ASSERT_EQ(runs[0][2][i], alone[i]) << "a confident pixel was blended at " << i;
    } else if (runs[0][2][i] != alone[i]) {
      ++blended;
    }
  }
  EXPECT_GT(blended, 0u);
  // The first frame is never blended.
  auto fresh = makePipeline(unblended);
  PersonMask first;
  ASSERT_TRUE(fresh->segment(frames[0].frame(), first, error)) << error;
  EXPECT_EQ(first.pixels, runs[0][0]);
}

TEST(AccurateMatte, StartsAfreshAfterASceneCut) {
  // A close-up, then a far person on a backdrop: the matte after the cut is that of a pipeline
  // that sees the second scene first.
  testing::Image closeUp{1280, 720, std::vector<std::uint8_t>(1280 * 720 * 4, 255)};
  testing::paste(closeUp, testing::astronaut(), {128, -100, 2.0});
  testing::Image far = testing::backdrop(1280, 720);
  testing::paste(far, testing::astronaut(), {800, 400, 180.0 / 512.0});
  std::string error;
  auto pipeline = makePipeline();
  PersonMask before, after, fresh;
  ASSERT_TRUE(pipeline->segment(closeUp.frame(), before, error)) << error;
  ASSERT_TRUE(pipeline->segment(far.frame(), after, error)) << error;
  auto other = makePipeline();
  ASSERT_TRUE(other->segment(far.frame(), fresh, error)) << error;
  EXPECT_EQ(after.pixels, fresh.pixels);
}

TEST(AccurateMatte, GivesAMatteOfTheFramesSizeForAnyFrame) {
  struct Case {
    std::uint32_t width, height;
    std::size_t stride;
  };
  const Case cases[] = {{1, 1, 4}, {3, 2, 12}, {7, 5, 64}, {640, 480, 640 * 4}, {200, 900, 800}};
  auto pipeline = makePipeline();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::vector<std::uint8_t> pixels(c.stride * (c.height - 1) + std::size_t{c.width} * 4, 90);
    PersonMask matte;
    std::string error;
    ASSERT_TRUE(pipeline->segment({pixels.data(), c.width, c.height, c.stride}, matte, error))
        << error;
    EXPECT_EQ(matte.width, c.width);
    EXPECT_EQ(matte.height, c.height);
    EXPECT_EQ(matte.pixels.size(), std::size_t{c.width} * c.height);
  }
  // A frame of nobody: background everywhere.
  const testing::Image empty = testing::backdrop(960, 540);
  PersonMask matte;
  std::string error;
  ASSERT_TRUE(pipeline->segment(empty.frame(), matte, error)) << error;
  EXPECT_TRUE(
      std::all_of(matte.pixels.begin(), matte.pixels.end(), [](std::uint8_t v) { return v < 8; }));
}

TEST(AccurateMatte, RefusesImpossibleFramesAndKeepsTheMask) {
  auto pipeline = makePipeline();
  const std::vector<std::uint8_t> pixels(64, 1);
  const BgraFrame bad[] = {
      {nullptr, 4, 4, 16}, {pixels.data(), 0, 4, 16}, {pixels.data(), 4, 4, 15}};
  for (const BgraFrame& frame : bad) {
    PersonMask mask{1, 1, {42}};
    std::string error;
    EXPECT_FALSE(pipeline->segment(frame, mask, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(mask.pixels, std::vector<std::uint8_t>{42});
  }
}

TEST(AccurateMatte, RefusesModelsItCannotUse) {
  std::string error;
  EXPECT_EQ(PersonMattePipeline::create(embeddedModel(), embeddedModel(), 1, error), nullptr);
  EXPECT_NE(error.find("person model: the model has no output named \"Identity_2\""),
            std::string::npos)
      << error;
  EXPECT_EQ(PersonMattePipeline::create(embeddedPersonModel(), embeddedPersonModel(), 1, error),
            nullptr);
  EXPECT_NE(error.find("finder model:"), std::string::npos) << error;
}

}  // namespace
}  // namespace trelvo::matte
