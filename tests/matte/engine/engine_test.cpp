// The engine end to end on the real models, frame checks, pre-processing and mask conversion.
#include <gtest/gtest.h>
#include <spng.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "model_graph.h"
#include "preprocess.h"
#include "rect_sampler.h"
#include "reference_ops.h"
#include "segmentation_engine.h"
#include "test_files.h"
#include "tflite_reader.h"
#include "xnn_network.h"

namespace trelvo::matte {
namespace {

struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> bgra;
};

Image loadPngAsBgra(const std::string& path) {
  Image image;
  const std::vector<std::uint8_t> png = readTestFile(path);
  spng_ctx* ctx = spng_ctx_new(0);
  if (ctx == nullptr) return image;
  std::size_t size = 0;
  spng_ihdr ihdr{};
  if (spng_set_png_buffer(ctx, png.data(), png.size()) == 0 && spng_get_ihdr(ctx, &ihdr) == 0 &&
      spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size) == 0) {
    std::vector<std::uint8_t> rgba(size);
    if (spng_decode_image(ctx, rgba.data(), rgba.size(), SPNG_FMT_RGBA8, 0) == 0) {
      for (std::size_t i = 0; i + 3 < rgba.size(); i += 4) std::swap(rgba[i], rgba[i + 2]);
      image.width = ihdr.width;
      image.height = ihdr.height;
      image.bgra = std::move(rgba);
    }
  }
  spng_ctx_free(ctx);
  return image;
}

BgraFrame frameOf(const Image& image) {
  return {image.bgra.data(), image.width, image.height, std::size_t{image.width} * 4};
}

// A region of the photograph in fractions of its size, so it holds for any mask size.
struct Region {
  const char* name;
  double left, top, right, bottom;
  bool person;
};

// Labelled by hand on the 512x512 astronaut photograph, clear of every edge.
const Region kAstronautRegions[] = {
    {"face", 0.39, 0.19, 0.49, 0.29, true},
    {"neck ring", 0.30, 0.37, 0.55, 0.45, true},
    {"suit, chest", 0.30, 0.64, 0.45, 0.78, true},
    {"suit, left arm", 0.10, 0.62, 0.20, 0.80, true},
    {"wall above the head", 0.36, 0.00, 0.50, 0.02, false},
    {"wall left of the shuttle", 0.62, 0.06, 0.69, 0.16, false},
    {"wall right of the shuttle", 0.92, 0.04, 0.99, 0.20, false},
    {"flag", 0.00, 0.05, 0.08, 0.30, false},
    {"shuttle", 0.76, 0.20, 0.80, 0.40, false},
};

double regionMean(const PersonMask& mask, const Region& r) {
  const auto x0 = static_cast<std::uint32_t>(r.left * mask.width);
  const auto x1 = static_cast<std::uint32_t>(std::ceil(r.right * mask.width));
  const auto y0 = static_cast<std::uint32_t>(r.top * mask.height);
  const auto y1 = static_cast<std::uint32_t>(std::ceil(r.bottom * mask.height));
  double sum = 0;
  std::size_t count = 0;
  for (std::uint32_t y = y0; y < y1 && y < mask.height; ++y) {
    for (std::uint32_t x = x0; x < x1 && x < mask.width; ++x) {
      sum += mask.pixels[std::size_t{y} * mask.width + x];
      ++count;
    }
  }
  return count == 0 ? -1.0 : sum / static_cast<double>(count);
}

struct ModelCase {
  const char* file;
  std::uint32_t width;
  std::uint32_t height;
};

class RealModelTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(RealModelTest, MarksThePersonAndNotTheBackground) {
  const ModelCase& c = GetParam();
  const std::vector<std::uint8_t> model = readTestFile(testModelPath(c.file));
  ASSERT_FALSE(model.empty());
  std::string error;
  auto engine = SegmentationEngine::create(model, 0, error);
  ASSERT_NE(engine, nullptr) << error;

  const Image photo = loadPngAsBgra(fixturePath("astronaut.png"));
  ASSERT_EQ(photo.width, 512u);
  PersonMask mask;
  ASSERT_TRUE(engine->segment(frameOf(photo), mask, error)) << error;
  EXPECT_EQ(mask.width, c.width);
  EXPECT_EQ(mask.height, c.height);
  ASSERT_EQ(mask.pixels.size(), std::size_t{c.width} * c.height);
  for (const Region& r : kAstronautRegions) {
    SCOPED_TRACE(r.name);
    const double mean = regionMean(mask, r);
    if (r.person) {
      EXPECT_GE(mean, 200.0);
    } else {
      EXPECT_LE(mean, 40.0);
      EXPECT_GE(mean, 0.0);
    }
  }

  // The runtime is reused: the same frame again gives the same mask, and one thread agrees with
  // the pool.
  PersonMask again;
  ASSERT_TRUE(engine->segment(frameOf(photo), again, error)) << error;
  EXPECT_EQ(again.pixels, mask.pixels);
  auto single = SegmentationEngine::create(model, 1, error);
  ASSERT_NE(single, nullptr) << error;
  PersonMask alone;
  ASSERT_TRUE(single->segment(frameOf(photo), alone, error)) << error;
  ASSERT_EQ(alone.pixels.size(), mask.pixels.size());
  for (std::size_t i = 0; i < mask.pixels.size(); ++i) {
    ASSERT_LE(std::abs(alone.pixels[i] - mask.pixels[i]), 1) << "pixel " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(BothModels, RealModelTest,
                         ::testing::Values(ModelCase{"selfie_segmentation.tflite", 256, 256},
                                           ModelCase{"selfie_segmentation_landscape.tflite", 256,
                                                     144}));

// The person model's segmentation of one crop of the photograph, reaching past its top-left corner
// (black there), through XNNPACK and through the plain loops.
TEST(PersonModel, SegmentationOfACropAgreesWithThePlainLoops) {
  const std::vector<std::uint8_t> model = readTestFile(testModelPath("pose_landmark_full.tflite"));
  ASSERT_FALSE(model.empty());
  Graph graph;
  std::string error;
  ASSERT_TRUE(readTfliteModel(model, graph, error, kPersonModelOutput)) << error;
  appendLogistic(graph);
  auto network = XnnNetwork::create(graph, 1, error);
  ASSERT_NE(network, nullptr) << error;

  const Image photo = loadPngAsBgra(fixturePath("astronaut.png"));
  ASSERT_EQ(photo.width, 512u);
  RectSampler sampler(256, 256);
  sampler.sample(frameOf(photo), {-40.0, -30.0, 560.0, 560.0}, network->input());
  const testing::RefTensor input{
      {1, 256, 256, 3},
      std::vector<float>(network->input(), network->input() + network->inputSize())};
  ASSERT_TRUE(network->run(error)) << error;
  const testing::RefTensor expected = testing::runReference(graph, input);
  ASSERT_EQ(expected.values.size(), network->outputSize());
  float worst = 0.0f;
  for (std::size_t i = 0; i < expected.values.size(); ++i) {
    worst = std::max(worst, std::fabs(network->output()[i] - expected.values[i]));
  }
  EXPECT_LE(worst, 1e-3f);
  // And it is a segmentation of the person: the face is person, the flag is not. The crop maps
  // photograph pixel p to (p + 40) * 256 / 560.
  auto at = [&](double x, double y) {
    const auto cx = static_cast<std::size_t>((x + 40.0) * 256.0 / 560.0);
    const auto cy = static_cast<std::size_t>((y + 30.0) * 256.0 / 560.0);
    return network->output()[cy * 256 + cx];
  };
  EXPECT_GT(at(225, 120), 0.9f);  // face
  EXPECT_LT(at(20, 80), 0.1f);    // flag
}

TEST(EmbeddedModel, IsTheConfiguredModelAndRuns) {
  const std::vector<std::uint8_t> expected = readTestFile(TRELVO_TEST_EMBEDDED_MODEL);
  const std::span<const std::uint8_t> embedded = embeddedModel();
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(embedded.size(), expected.size());
  EXPECT_TRUE(std::equal(embedded.begin(), embedded.end(), expected.begin()));
  std::string error;
  EXPECT_NE(SegmentationEngine::create(embedded, 2, error), nullptr) << error;
}

TEST(EmbeddedModel, TheConfiguredPersonModelIsBuiltIn) {
  const std::vector<std::uint8_t> expected = readTestFile(TRELVO_TEST_EMBEDDED_PERSON_MODEL);
  const std::span<const std::uint8_t> embedded = embeddedPersonModel();
  ASSERT_FALSE(expected.empty());
  ASSERT_EQ(embedded.size(), expected.size());
  EXPECT_TRUE(std::equal(embedded.begin(), embedded.end(), expected.begin()));
}

// One engine for the frame tests: built once, it is the slow part.
SegmentationEngine& sharedEngine() {
  static std::unique_ptr<SegmentationEngine> engine = [] {
    std::string error;
    auto made = SegmentationEngine::create(embeddedModel(), 2, error);
    EXPECT_NE(made, nullptr) << error;
    return made;
  }();
  return *engine;
}

struct BadFrameCase {
  const char* name;
  bool nullPixels;
  std::uint32_t width;
  std::uint32_t height;
  std::size_t stride;
};

TEST(SegmentFrame, RefusesImpossibleFramesAndKeepsTheMask) {
  const std::vector<std::uint8_t> pixels(64 * 4 * 4, 128);
  const BadFrameCase cases[] = {
      {"no pixels", true, 4, 4, 16},
      {"zero width", false, 0, 4, 16},
      {"zero height", false, 4, 0, 16},
      {"wider than the limit", false, kMaxFrameSide + 1, 1, (kMaxFrameSide + 1) * 4},
      {"taller than the limit", false, 1, kMaxFrameSide + 1, 4},
      {"stride below the row", false, 4, 4, 15},
      {"absurd stride", false, 4, 4, std::size_t{1} << 40},
  };
  for (const BadFrameCase& c : cases) {
    SCOPED_TRACE(c.name);
    const BgraFrame frame{c.nullPixels ? nullptr : pixels.data(), c.width, c.height, c.stride};
    PersonMask mask{1, 1, {42}};
    std::string error;
    EXPECT_FALSE(sharedEngine().segment(frame, mask, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(mask.width, 1u);
    EXPECT_EQ(mask.pixels, std::vector<std::uint8_t>{42});
  }
}

TEST(SegmentFrame, AcceptsAnySizeAndPaddedRows) {
  // Small, odd and padded frames: each yields a mask at the model's size.
  const struct {
    std::uint32_t width, height;
    std::size_t stride;
  } cases[] = {{1, 1, 4}, {3, 2, 12}, {7, 5, 64}, {1920, 1080, 1920 * 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    // Exactly the bytes the frame spans, so a read past the last row trips the sanitizer.
    std::vector<std::uint8_t> pixels(c.stride * (c.height - 1) + std::size_t{c.width} * 4, 200);
    PersonMask mask;
    std::string error;
    ASSERT_TRUE(sharedEngine().segment({pixels.data(), c.width, c.height, c.stride}, mask, error))
        << error;
    EXPECT_EQ(mask.width, 256u);
    EXPECT_EQ(mask.height, 256u);
    EXPECT_EQ(mask.pixels.size(), 256u * 256u);
  }
}

// Pre-processing against values worked out by hand.
TEST(FrameSampler, StretchesBilinearlyToRgbInUnitRange) {
  // 2x2 BGRA frame: blue, green / red, white.
  const std::vector<std::uint8_t> px = {255, 0, 0,   9, 0,   255, 0,   9,  // row 0
                                        0,   0, 255, 9, 255, 255, 255, 9};
  const BgraFrame frame{px.data(), 2, 2, 8};

  FrameSampler same(2, 2);
  std::vector<float> out(2 * 2 * 3);
  same.sample(frame, out.data());
  const std::vector<float> rgb = {0, 0, 1, 0, 1, 0, 1, 0, 0, 1, 1, 1};
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_FLOAT_EQ(out[i], rgb[i]) << i;

  // Down to one pixel: the centre of the frame, the mean of all four.
  FrameSampler one(1, 1);
  one.sample(frame, out.data());
  EXPECT_FLOAT_EQ(out[0], 0.5f);
  EXPECT_FLOAT_EQ(out[1], 0.5f);
  EXPECT_FLOAT_EQ(out[2], 0.5f);

  // Up to 4x1 from the top row: edges clamp, inner samples blend at 1/4 and 3/4.
  FrameSampler wide(4, 1);
  const BgraFrame top{px.data(), 2, 1, 8};
  std::vector<float> row(4 * 3);
  wide.sample(top, row.data());
  const float green[] = {0.0f, 0.25f, 0.75f, 1.0f};
  const float blue[] = {1.0f, 0.75f, 0.25f, 0.0f};
  for (int x = 0; x < 4; ++x) {
    EXPECT_FLOAT_EQ(row[x * 3 + 0], 0.0f);
    EXPECT_FLOAT_EQ(row[x * 3 + 1], green[x]);
    EXPECT_FLOAT_EQ(row[x * 3 + 2], blue[x]);
  }

  // A new frame size after another rebuilds the tables.
  same.sample(top, out.data());
  EXPECT_FLOAT_EQ(out[6 + 2], 1.0f);  // second output row repeats the single source row
}

TEST(MaskValue, ScalesRoundsAndClamps) {
  const struct {
    float probability;
    int expected;
  } cases[] = {{0.0f, 0},   {-1.0f, 0},      {1.0f, 255},    {7.0f, 255},
               {0.5f, 128}, {0.25f, 64},     {0.001f, 0},    {0.003f, 1},
               {NAN, 0},    {INFINITY, 255}, {-INFINITY, 0}, {0.9980f, 254}};
  for (const auto& c : cases) {
    EXPECT_EQ(maskValue(c.probability), c.expected) << c.probability;
  }
}

}  // namespace
}  // namespace trelvo::matte
