#include "run_matte.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace trelvo::matte {
namespace {

using testing::CapturedStream;
using testing::FakePlatform;
using testing::FakeSegmenter;

class RunMatte : public ::testing::Test {
 protected:
  ExitStatus run(std::vector<std::string> operands = {"clip.mp4", "out"}) {
    const SegmenterFactory factory = [this](std::string& error) -> std::unique_ptr<Segmenter> {
      ++segmentersMade;
      if (!segmenterError.empty()) {
        error = segmenterError;
        return nullptr;
      }
      return std::make_unique<ForwardingSegmenter>(segmenter);
    };
    return runMatte(operands, platform, factory, RunOptions{}, out.file(), err.file());
  }

  // Hands every call to the test's segmenter, which outlives the run.
  class ForwardingSegmenter final : public Segmenter {
   public:
    explicit ForwardingSegmenter(FakeSegmenter& target) : target_(target) {}
    bool segment(const BgraFrame& frame, PersonMask& mask, std::string& error) override {
      return target_.segment(frame, mask, error);
    }

   private:
    FakeSegmenter& target_;
  };

  FakePlatform platform;
  FakeSegmenter segmenter;
  std::string segmenterError;
  int segmentersMade = 0;
  CapturedStream out;
  CapturedStream err;
};

TEST_F(RunMatte, NotExactlyTwoOperandsIsAUsageErrorThatTouchesNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"clip.mp4"}, {"--help"}, {"clip.mp4", "out", "extra"}};
  for (const auto& operands : cases) {
    SCOPED_TRACE(operands.size());
    FakePlatform fresh;
    CapturedStream o, e;
    EXPECT_EQ(runMatte(operands, fresh, nullptr, RunOptions{}, o.file(), e.file()),
              ExitStatus::kUsage);
    EXPECT_EQ(e.text(), "usage: TrelvoPersonMatte VIDEO OUT_DIR\n");
    EXPECT_EQ(o.text(), "");
    EXPECT_TRUE(fresh.directoryCalls.empty());
    EXPECT_TRUE(fresh.loadCalls.empty());
  }
}

TEST_F(RunMatte, OperandsStartingWithADashArePaths) {
  platform.video.frames = {{4, 4}};
  EXPECT_EQ(run({"-v", "--out"}), ExitStatus::kOk);
  EXPECT_EQ(platform.loadCalls, std::vector<std::string>{"-v"});
  EXPECT_EQ(platform.directoryCalls, std::vector<std::string>{"--out"});
  EXPECT_EQ(platform.files.count("--out/000000.png"), 1u);
}

TEST_F(RunMatte, DirectoryThatCannotBeMadeEndsSilentlyBeforeTheVideoIsOpened) {
  platform.directoryWorks = false;
  EXPECT_EQ(run(), ExitStatus::kFailure);
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
  EXPECT_TRUE(platform.loadCalls.empty());
}

TEST_F(RunMatte, NoTrackOrNoAnswerWithinTheLimitIsNoVideoTrack) {
  for (TrackLoad load : {TrackLoad::kNoTrack, TrackLoad::kTimedOut}) {
    SCOPED_TRACE(static_cast<int>(load));
    FakePlatform fresh;
    fresh.load = load;
    CapturedStream o, e;
    EXPECT_EQ(runMatte({"clip.mp4", "out"}, fresh, nullptr, RunOptions{}, o.file(), e.file()),
              ExitStatus::kFailure);
    EXPECT_EQ(e.text(), "no video track\n");
    EXPECT_EQ(o.text(), "");
    // The directory was made first and stays.
    EXPECT_EQ(fresh.directoryCalls, std::vector<std::string>{"out"});
    EXPECT_EQ(fresh.loadTimeout, std::chrono::milliseconds(60000));
  }
}

TEST_F(RunMatte, ReaderThatCannotBeMadeOrStartedEndsSilently) {
  platform.video.frames = {{4, 4}};
  platform.video.hasDecoder = false;
  EXPECT_EQ(run(), ExitStatus::kFailure);

  platform.video.hasDecoder = true;
  platform.video.starts = false;
  EXPECT_EQ(run(), ExitStatus::kDecodeIncomplete);

  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(segmentersMade, 0);
  EXPECT_TRUE(platform.files.empty());
}

TEST_F(RunMatte, CleanFramesGiveOneMatteEachAndTheFrameCountLine) {
  platform.video.frames = {{64, 48}, {64, 48}, {31, 17}};
  EXPECT_EQ(run(), ExitStatus::kOk);
  EXPECT_EQ(out.text(), "{\"frames\": 3}\n");
  EXPECT_EQ(err.text(), "");
  EXPECT_EQ(segmentersMade, 1);
  ASSERT_EQ(platform.files.size(), 3u);
  EXPECT_EQ(platform.files["out/000000.png"].width, 64u);
  EXPECT_EQ(platform.files["out/000001.png"].height, 48u);
  EXPECT_EQ(platform.files["out/000002.png"].width, 31u);
  EXPECT_EQ(platform.files["out/000002.png"].height, 17u);
}

TEST_F(RunMatte, EndOfStreamWithoutACleanFinishIsReportedWithTheFrameCount) {
  struct Case {
    const char* name;
    int frames;
    bool completed;
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"no frame at all", 0, true, "", "video decode did not complete (frames=0): no frames\n"},
      {"fails after two frames", 2, false, "Invalid data found when processing input",
       "video decode did not complete (frames=2): Invalid data found when processing input\n"},
      {"fails without a text", 1, false, "",
       "video decode did not complete (frames=1): no frames\n"},
      {"fails before the first frame", 0, false, "End of file",
       "video decode did not complete (frames=0): End of file\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fresh;
    fresh.video.frames.assign(static_cast<std::size_t>(c.frames), {8, 8});
    fresh.video.completed = c.completed;
    fresh.video.errorText = c.text;
    FakeSegmenter seg;
    const SegmenterFactory factory = [&seg](std::string&) -> std::unique_ptr<Segmenter> {
      return std::make_unique<ForwardingSegmenter>(seg);
    };
    CapturedStream o, e;
    EXPECT_EQ(runMatte({"v", "out"}, fresh, factory, RunOptions{}, o.file(), e.file()),
              ExitStatus::kDecodeIncomplete);
    EXPECT_EQ(e.text(), c.message);
    EXPECT_EQ(o.text(), "");
    EXPECT_EQ(fresh.files.size(), static_cast<std::size_t>(c.frames));
  }
}

TEST_F(RunMatte, AFailingFrameEndsTheRunAndEarlierMattesStay) {
  struct Case {
    const char* name;
    int failSegment, emptySegment, failWrite;
    ExitStatus status;
    const char* message;
  };
  const Case cases[] = {
      {"segmentation fails at frame 2", 3, 0, 0, ExitStatus::kSegmentationFailed,
       "no memory for the tensors\n"},
      {"no mask at frame 2", 0, 3, 0, ExitStatus::kSegmentationFailed, ""},
      {"write fails at frame 2", 0, 0, 3, ExitStatus::kWriteFailed, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fresh;
    fresh.video.frames.assign(5, {8, 8});
    fresh.failWriteCall = c.failWrite;
    FakeSegmenter seg;
    seg.failCall = c.failSegment;
    seg.emptyCall = c.emptySegment;
    seg.failText = "no memory for the tensors";
    const SegmenterFactory factory = [&seg](std::string&) -> std::unique_ptr<Segmenter> {
      return std::make_unique<ForwardingSegmenter>(seg);
    };
    CapturedStream o, e;
    EXPECT_EQ(runMatte({"v", "out"}, fresh, factory, RunOptions{}, o.file(), e.file()), c.status);
    EXPECT_EQ(e.text(), c.message);
    EXPECT_EQ(o.text(), "");
    EXPECT_EQ(seg.calls, 3);  // no later frame is processed
    EXPECT_EQ(fresh.files.size(), 2u);
    EXPECT_EQ(fresh.files.count("out/000000.png"), 1u);
    EXPECT_EQ(fresh.files.count("out/000001.png"), 1u);
  }
}

// Files are written while the next frame is decoded; a file that could not be written still ends
// the run with status 5 before anything later is reported, the last frame's file included.
TEST_F(RunMatte, AFileThatCannotBeWrittenIsReportedBeforeLaterTrouble) {
  struct Case {
    const char* name;
    int failWrite;
    bool completed;
    std::size_t files;
  };
  const Case cases[] = {
      {"the last frame's file", 4, true, 3},
      {"then the stream breaks", 4, false, 3},
      {"then a frame fails to segment", 2, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform fresh;
    fresh.video.frames.assign(4, {8, 8});
    fresh.video.completed = c.completed;
    fresh.video.errorText = "Invalid data found when processing input";
    fresh.failWriteCall = c.failWrite;
    FakeSegmenter seg;
    seg.failCall = c.failWrite == 2 ? 3 : 0;
    seg.failText = "no memory for the tensors";
    const SegmenterFactory factory = [&seg](std::string&) -> std::unique_ptr<Segmenter> {
      return std::make_unique<ForwardingSegmenter>(seg);
    };
    CapturedStream o, e;
    EXPECT_EQ(runMatte({"v", "out"}, fresh, factory, RunOptions{}, o.file(), e.file()),
              ExitStatus::kWriteFailed);
    EXPECT_EQ(e.text(), "");
    EXPECT_EQ(o.text(), "");
    EXPECT_EQ(fresh.files.size(), c.files);
    EXPECT_EQ(seg.calls, c.failWrite);  // the frame after the failed file is never segmented
  }
}

TEST_F(RunMatte, ASegmentationThatCannotBePreparedIsASegmentationFailure) {
  platform.video.frames = {{8, 8}};
  segmenterError = "model is malformed: tensor 3 out of range";
  EXPECT_EQ(run(), ExitStatus::kSegmentationFailed);
  EXPECT_EQ(err.text(), "model is malformed: tensor 3 out of range\n");
  EXPECT_EQ(out.text(), "");
  EXPECT_TRUE(platform.files.empty());
}

}  // namespace
}  // namespace trelvo::matte
