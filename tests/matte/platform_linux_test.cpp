#include "platform_linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/temp_dir.h"
#include "png_file.h"

namespace trelvo::matte {
namespace {

using test_common::TempDir;
using testing::readPng;

const std::string kVideos = MATTE_TEST_VIDEOS;

bool isDirectory(const std::string& path) { return std::filesystem::is_directory(path); }

void touch(const std::string& path, const std::string& content = "x") {
  std::ofstream(path) << content;
}

TEST(LinuxCreateDirectories, MakesMissingParentsAndRefusesFiles) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "existing").c_str(), 0755), 0);
  touch(dir / "file");
  std::filesystem::create_directory_symlink(dir / "existing", dir / "link");
  struct Case {
    std::string path;
    bool made;
  };
  const Case cases[] = {
      {dir / "existing", true},
      {dir / "a/b/c/d", true},
      {dir / "x//y/", true},
      {dir / "link/inside", true},
      {dir / "file", false},
      {dir / "file/below", false},
      {"", false},
  };
  LinuxPlatform platform;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(platform.createDirectories(c.path), c.made);
    if (c.made) {
      EXPECT_TRUE(isDirectory(c.path));
    }
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "file"));
}

TEST(LinuxWritePng, WritesOneGrayImageAndWritesOverAnOldFile) {
  TempDir dir;
  LinuxPlatform platform;
  const std::string path = dir / "000000.png";
  touch(path, std::string(100000, 'z'));  // longer than the PNG: must be cut off, not kept

  GrayImage image{5, 3, {}};
  for (int i = 0; i < 15; ++i) image.pixels.push_back(static_cast<std::uint8_t>(i * 17));
  ASSERT_TRUE(platform.writePng(path, image));

  const auto png = readPng(path);
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->width, 5u);
  EXPECT_EQ(png->height, 3u);
  EXPECT_EQ(png->bitDepth, 8);
  EXPECT_EQ(png->colorType, SPNG_COLOR_TYPE_GRAYSCALE);
  EXPECT_EQ(png->pixels, image.pixels);
  EXPECT_LT(std::filesystem::file_size(path), 1000u);
}

TEST(LinuxWritePng, FailsWhenTheFileCannotBeCreated) {
  TempDir dir;
  ASSERT_EQ(::mkdir((dir / "taken.png").c_str(), 0755), 0);
  LinuxPlatform platform;
  const GrayImage image{2, 2, {1, 2, 3, 4}};
  EXPECT_FALSE(platform.writePng(dir / "missing/000000.png", image));
  EXPECT_FALSE(platform.writePng(dir / "taken.png", image));
  EXPECT_FALSE(platform.writePng(dir / "bad.png", GrayImage{2, 2, {1, 2, 3}}));
  EXPECT_FALSE(std::filesystem::exists(dir / "bad.png"));
}

TEST(LinuxLoadTrack, GivesUpWhenTheFileDoesNotAnswerInTime) {
  TempDir dir;
  const std::string fifo = dir / "video.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  LinuxPlatform platform;
  std::unique_ptr<VideoTrack> track;
  // Opening a FIFO that nobody writes blocks in the kernel.
  EXPECT_EQ(platform.loadTrack(fifo, std::chrono::milliseconds(200), track), TrackLoad::kTimedOut);
  EXPECT_EQ(track, nullptr);
  // Let the abandoned load finish: a writer that closes at once gives it an empty file.
  const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  ::close(writer);
}

TEST(LinuxLoadTrack, FilesWithoutAVideoTrackHaveNone) {
  TempDir dir;
  const std::string cases[] = {dir / "missing.mp4", kVideos + "/not_media.txt",
                               kVideos + "/audio.wav", kVideos + "/cover.mp3", dir.path()};
  LinuxPlatform platform;
  for (const std::string& video : cases) {
    SCOPED_TRACE(video);
    std::unique_ptr<VideoTrack> track;
    EXPECT_EQ(platform.loadTrack(video, std::chrono::seconds(60), track), TrackLoad::kNoTrack);
    EXPECT_EQ(track, nullptr);
  }
}

struct Decoded {
  TrackLoad load = TrackLoad::kNoTrack;
  bool started = false;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes;
  bool completed = false;
  std::string error;
  std::vector<std::uint8_t> firstPixel;
};

Decoded decode(const std::string& video) {
  LinuxPlatform platform;
  Decoded result;
  std::unique_ptr<VideoTrack> track;
  result.load = platform.loadTrack(video, std::chrono::seconds(60), track);
  if (result.load != TrackLoad::kLoaded) return result;
  std::unique_ptr<FrameReader> reader = track->makeReader();
  if (!reader) return result;
  result.started = reader->startReading();
  BgraFrame frame;
  while (reader->nextFrame(frame)) {
    EXPECT_GE(frame.stride, std::size_t{frame.width} * 4);
    if (result.sizes.empty()) result.firstPixel.assign(frame.pixels, frame.pixels + 4);
    result.sizes.emplace_back(frame.width, frame.height);
  }
  result.completed = reader->completed();
  result.error = reader->errorText();
  return result;
}

TEST(LinuxFrameReader, DeliversEveryFrameOfTheFirstVideoTrackAtItsOwnSize) {
  struct Case {
    const char* file;
    std::size_t frames;
    std::uint32_t width, height;
  };
  const Case cases[] = {
      {"clip12.mp4", 12, 160, 120}, {"size_1x1.mkv", 3, 1, 1},     {"size_3x2.mkv", 3, 3, 2},
      {"rotated.mp4", 4, 64, 48},   {"two_tracks.mkv", 5, 80, 60}, {"blue.mkv", 2, 16, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Decoded decoded = decode(kVideos + "/" + c.file);
    ASSERT_EQ(decoded.load, TrackLoad::kLoaded);
    EXPECT_TRUE(decoded.started);
    EXPECT_EQ(decoded.sizes, (std::vector<std::pair<std::uint32_t, std::uint32_t>>(
                                 c.frames, {c.width, c.height})));
    EXPECT_TRUE(decoded.completed);
    EXPECT_EQ(decoded.error, "");
  }
}

TEST(LinuxFrameReader, FramesArriveAsBgra) {
  const Decoded decoded = decode(kVideos + "/blue.mkv");
  ASSERT_EQ(decoded.firstPixel.size(), 4u);
  // Blue first, then green, red and an opaque alpha; the colour may lose a step on its way.
  const int expected[4] = {255, 0, 0, 255};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(decoded.firstPixel[i], expected[i], 2) << i;
}

TEST(LinuxFrameReader, TellsAFailedStreamFromACompletedOne) {
  struct Case {
    const char* file;
    std::size_t frames;
    const char* error;
  };
  const Case cases[] = {
      {"empty.y4m", 0, ""},  // completes, but without a frame
      {"broken_after_3.y4m", 3, "Invalid data found when processing input"},
      {"too_wide.y4m", 0, "frame too large (20000x2)"},
      {"too_large.y4m", 0, "frame too large (16000x4000)"},
      // Damage FFmpeg would conceal: reported, not passed off as a whole track.
      {"two_tracks_cut.mkv", 2, "File ended prematurely"},
      {"clip12_damaged.mp4", 12, "error while decoding MB 8 5, bytestream -47"},
      {"mpeg4_damaged.nut", 4, "frame size > 2max_distance and no checksum"},  // and "ac-tex ..."
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Decoded decoded = decode(kVideos + "/" + c.file);
    ASSERT_EQ(decoded.load, TrackLoad::kLoaded);
    EXPECT_EQ(decoded.sizes.size(), c.frames);
    EXPECT_EQ(decoded.completed, std::string(c.error).empty());
    EXPECT_EQ(decoded.error, c.error);
  }
}

TEST(LinuxLoadTrack, TakesTheOperandAsAFileNameNeverAsAUrlOrPattern) {
  TempDir dir;
  const std::string names[] = {"pipe:0", "http:example.mp4", "frame%03d.mp4"};
  for (const std::string& name : names) {
    std::filesystem::copy_file(kVideos + "/clip12.mp4", dir / name);
  }
  char previous[4096];
  ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const Decoded decoded = decode(name);
    EXPECT_EQ(decoded.load, TrackLoad::kLoaded);
    EXPECT_EQ(decoded.sizes.size(), 12u);
  }
  ASSERT_EQ(::chdir(previous), 0);
}

}  // namespace
}  // namespace trelvo::matte
