#include "background_writer.h"

#include <gtest/gtest.h>

#include "fakes.h"

namespace trelvo::matte {
namespace {

using testing::FakePlatform;

GrayImage matteOf(std::uint8_t value) { return GrayImage{2, 1, {value, value}}; }

// Each case hands over two files, collecting the result after each or only after both.
TEST(BackgroundWriter, EveryFailedFileIsReportedAndTheNextOneStillWritten) {
  struct Case {
    const char* name;
    int failWriteCall;
    int throwWriteCall;
    bool finishBetween;
    bool firstResult;   // finish() after the first file, when collected there
    bool secondResult;  // finish() after the second
  };
  const Case cases[] = {
      {"both written", 0, 0, true, true, true},
      {"first fails", 1, 0, true, false, true},
      {"first runs out of memory", 0, 1, true, false, true},
      {"second runs out of memory", 0, 2, true, true, false},
      {"first fails, collected after both", 1, 0, false, true, false},
      {"first runs out of memory, collected after both", 0, 1, false, true, false},
      {"both written, collected after both", 0, 0, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform platform;
    platform.failWriteCall = c.failWriteCall;
    platform.throwWriteCall = c.throwWriteCall;
    BackgroundWriter writer(platform);
    GrayImage matte = matteOf(1);
    writer.start("/out/000000.png", matte);
    if (c.finishBetween) {
      EXPECT_EQ(writer.finish(), c.firstResult);
    }
    matte = matteOf(2);
    writer.start("/out/000001.png", matte);
    EXPECT_EQ(writer.finish(), c.secondResult);
    EXPECT_EQ(platform.writeCalls, 2);
    const bool secondWritten = c.failWriteCall != 2 && c.throwWriteCall != 2;
    ASSERT_EQ(platform.files.count("/out/000001.png"), secondWritten ? 1u : 0u);
    if (secondWritten) {
      EXPECT_EQ(platform.files["/out/000001.png"].pixels, matteOf(2).pixels);
    }
    EXPECT_TRUE(writer.finish());  // nothing failed since the last call
  }
}

}  // namespace
}  // namespace trelvo::matte
