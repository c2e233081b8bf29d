#include "matte_writer.h"

#include <gtest/gtest.h>

#include <random>

#include "fakes.h"

namespace trelvo::matte {
namespace {

using testing::CapturedStream;
using testing::FakePlatform;
using testing::FakeSegmenter;

TEST(MatteFileName, ZeroFilledToSixDigitsAndWrittenInFullBeyond) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "000000.png"},        {41, "000041.png"},
      {999999, "999999.png"},   {1000000, "1000000.png"},
      {1234567, "1234567.png"}, {18446744073709551615ULL, "18446744073709551615.png"},
  };
  for (const auto& [index, name] : cases) {
    SCOPED_TRACE(index);
    EXPECT_EQ(matteFileName(index), name);
  }
}

TEST(JoinPath, ExactlyOneSeparator) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"out", "000000.png", "out/000000.png"},     {"out/", "000000.png", "out/000000.png"},
      {"out//", "000000.png", "out/000000.png"},   {"/", "000000.png", "/000000.png"},
      {"a/b/c", "000001.png", "a/b/c/000001.png"},
  };
  for (const auto& [directory, name, joined] : cases) {
    SCOPED_TRACE(directory);
    EXPECT_EQ(joinPath(directory, name), joined);
  }
}

PersonMask maskOf(std::uint32_t width, std::uint32_t height, std::vector<std::uint8_t> pixels) {
  return PersonMask{width, height, std::move(pixels)};
}

TEST(RenderMatte, TakesTheFrameSizeWhateverTheMaskSize) {
  struct Case {
    std::uint32_t maskWidth, maskHeight, width, height;
  };
  const Case cases[] = {
      {2, 2, 8, 6},      // scale factors 4 and 3
      {16, 16, 16, 16},  // scale factors 1 and 1
      {256, 256, 1, 1},  // shrunk to one pixel
      {256, 256, 3, 2},  // shrunk, aspect ratio changed
      {256, 256, 4096, 2160}, {1, 1, 5, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.maskWidth << "x" << c.maskHeight << " -> " << c.width << "x" << c.height);
    const PersonMask mask =
        maskOf(c.maskWidth, c.maskHeight,
               std::vector<std::uint8_t>(std::size_t{c.maskWidth} * c.maskHeight, 173));
    GrayImage out;
    ASSERT_TRUE(renderMatte(mask, c.width, c.height, out));
    EXPECT_EQ(out.width, c.width);
    EXPECT_EQ(out.height, c.height);
    ASSERT_EQ(out.pixels.size(), std::size_t{c.width} * c.height);
    // A uniform mask stays uniform: no value is invented at the edges.
    for (std::uint8_t value : out.pixels) ASSERT_EQ(value, 173);
  }
}

TEST(RenderMatte, SameSizeCarriesValuesOverUnchanged) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> pixels(37 * 23);
  for (auto& p : pixels) p = static_cast<std::uint8_t>(random());
  const PersonMask mask = maskOf(37, 23, pixels);
  GrayImage out;
  ASSERT_TRUE(renderMatte(mask, 37, 23, out));
  EXPECT_EQ(out.pixels, pixels);
}

TEST(RenderMatte, StretchesEachAxisOnItsOwnAboutTheOrigin) {
  // A 2x2 checker stretched four times wide and three times high.
  const PersonMask mask = maskOf(2, 2, {0, 255, 255, 0});
  GrayImage out;
  ASSERT_TRUE(renderMatte(mask, 8, 6, out));
  auto at = [&](int x, int y) { return static_cast<int>(out.pixels[y * 8 + x]); };
  // The outer pixels lie beyond the mask's pixel centres and take the corner values.
  EXPECT_EQ(at(0, 0), 0);
  EXPECT_EQ(at(7, 0), 255);
  EXPECT_EQ(at(0, 5), 255);
  EXPECT_EQ(at(7, 5), 0);
  // Output column 3 samples the mask at (3 + 0.5) / 4 - 0.5 = 0.375.
  EXPECT_EQ(at(3, 0), 96);
  // Row 0 rises from left to right, and the checker's symmetry survives the stretch.
  for (int x = 1; x < 8; ++x) EXPECT_LE(at(x - 1, 0), at(x, 0));
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 8; ++x) {
      EXPECT_NEAR(at(x, y) + at(7 - x, y), 255, 1) << x << "," << y;
      EXPECT_EQ(at(x, y), at(7 - x, 5 - y)) << x << "," << y;
    }
  }
}

TEST(RenderMatte, RefusesEmptyOrInconsistentInput) {
  struct Case {
    const char* name;
    PersonMask mask;
    std::uint32_t width, height;
  };
  const Case cases[] = {
      {"zero frame width", maskOf(2, 2, {1, 2, 3, 4}), 0, 4},
      {"zero frame height", maskOf(2, 2, {1, 2, 3, 4}), 4, 0},
      {"empty mask", maskOf(0, 0, {}), 4, 4},
      {"mask pixels missing", maskOf(2, 2, {1, 2, 3}), 4, 4},
      {"frame too wide", maskOf(2, 2, {1, 2, 3, 4}), kMaxFrameSide + 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GrayImage out{3, 1, {9, 9, 9}};
    EXPECT_FALSE(renderMatte(c.mask, c.width, c.height, out));
    EXPECT_EQ(out.width, 3u);
    EXPECT_EQ(out.pixels, (std::vector<std::uint8_t>{9, 9, 9}));
  }
}

class WriteFrameMatte : public ::testing::Test {
 protected:
  ExitStatus write(std::uint64_t index) {
    MatteContext context{platform, segmenter, "out", err.file(), {}, {}};
    return writeFrameMatte(context, frame, index);
  }

  std::vector<std::uint8_t> pixels = std::vector<std::uint8_t>(64 * 48 * 4, 0x40);
  BgraFrame frame{pixels.data(), 64, 48, 64 * 4};
  FakePlatform platform;
  FakeSegmenter segmenter;
  CapturedStream err;
};

TEST_F(WriteFrameMatte, WritesTheStretchedMaskNamedByIndex) {
  segmenter.maskWidth = 16;
  segmenter.maskHeight = 16;
  segmenter.value = 222;
  EXPECT_EQ(write(41), ExitStatus::kOk);
  ASSERT_EQ(platform.files.count("out/000041.png"), 1u);
  const testing::WrittenFile& file = platform.files["out/000041.png"];
  EXPECT_EQ(file.width, 64u);
  EXPECT_EQ(file.height, 48u);
  EXPECT_EQ(file.pixels, std::vector<std::uint8_t>(64 * 48, 222));
  EXPECT_EQ(err.text(), "");
}

TEST_F(WriteFrameMatte, FailuresEndWithTheirStatusAndOnlySegmentationSpeaks) {
  struct Case {
    const char* name;
    int failSegment, emptySegment, brokenMask, failWrite;
    const char* failText;
    ExitStatus status;
    const char* message;
  };
  const Case cases[] = {
      {"segmentation error with text", 1, 0, 0, 0, "model refused the frame",
       ExitStatus::kSegmentationFailed, "model refused the frame\n"},
      {"segmentation error without text", 1, 0, 0, 0, "", ExitStatus::kSegmentationFailed,
       "person segmentation failed\n"},
      {"no person mask", 0, 1, 0, 0, "", ExitStatus::kSegmentationFailed, ""},
      {"mask cannot be rendered", 0, 0, 1, 0, "", ExitStatus::kRenderFailed, ""},
      {"file cannot be written", 0, 0, 0, 1, "", ExitStatus::kWriteFailed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fresh;
    FakeSegmenter seg;
    seg.failCall = c.failSegment;
    seg.emptyCall = c.emptySegment;
    seg.brokenCall = c.brokenMask;
    seg.failText = c.failText;
    fresh.failWriteCall = c.failWrite;
    CapturedStream stream;
    MatteContext context{fresh, seg, "out", stream.file(), {}, {}};
    EXPECT_EQ(writeFrameMatte(context, frame, 0), c.status);
    EXPECT_EQ(stream.text(), c.message);
    EXPECT_TRUE(fresh.files.empty());
  }
}

TEST_F(WriteFrameMatte, AMasklessAnswerDoesNotReuseThePreviousFramesMask) {
  segmenter.emptyCall = 2;
  MatteContext context{platform, segmenter, "out", err.file(), {}, {}};
  EXPECT_EQ(writeFrameMatte(context, frame, 0), ExitStatus::kOk);
  EXPECT_EQ(writeFrameMatte(context, frame, 1), ExitStatus::kSegmentationFailed);
  EXPECT_EQ(platform.files.size(), 1u);
  EXPECT_EQ(err.text(), "");
}

}  // namespace
}  // namespace trelvo::matte
