// Arbitrary bytes as the video file of a whole run: decoding, the matte step and the PNG writer
// must end with a status of the table, never crash. The segmentation is a cheap stand-in so the
// fuzzer spends its time in the reader.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform_linux.h"
#include "run_matte.h"

namespace {

using namespace trelvo::matte;

// An 8x6 mask of the frame's top-left pixels' green channel.
class CornerSegmenter final : public Segmenter {
 public:
  bool segment(const BgraFrame& frame, PersonMask& mask, std::string& error) override {
    if (frame.pixels == nullptr || frame.width == 0 || frame.height == 0) {
      error = "empty frame";
      return false;
    }
    mask.width = 8;
    mask.height = 6;
    mask.pixels.resize(48);
    for (std::uint32_t y = 0; y < 6; ++y) {
      for (std::uint32_t x = 0; x < 8; ++x) {
        const std::uint8_t* row = frame.pixels + (y % frame.height) * frame.stride;
        mask.pixels[y * 8 + x] = row[(x % frame.width) * 4 + 1];
      }
    }
    return true;
  }
};

struct Scratch {
  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz_video.XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) root = pattern;
    sink = std::fopen("/dev/null", "we");
  }
  ~Scratch() {
    std::error_code ignored;
    if (!root.empty()) std::filesystem::remove_all(root, ignored);
    if (sink != nullptr) (void)std::fclose(sink);
  }
  std::string root;
  std::FILE* sink = nullptr;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  static LinuxPlatform platform;
  if (scratch.root.empty() || scratch.sink == nullptr) __builtin_trap();

  const std::string video = scratch.root + "/input";
  const std::string out = scratch.root + "/out";
  std::FILE* file = std::fopen(video.c_str(), "wbe");
  if (file == nullptr) __builtin_trap();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) __builtin_trap();
  if (std::fclose(file) != 0) __builtin_trap();

  const SegmenterFactory makeSegmenter = [](std::string&) -> std::unique_ptr<Segmenter> {
    return std::make_unique<CornerSegmenter>();
  };
  const ExitStatus status =
      runMatte({video, out}, platform, makeSegmenter, RunOptions{std::chrono::milliseconds(10000)},
               scratch.sink, scratch.sink);
  switch (status) {
    case ExitStatus::kOk:
    case ExitStatus::kFailure:
    case ExitStatus::kDecodeIncomplete:
      break;
    default:  // the stand-in segmentation and a writable directory cannot fail
      __builtin_trap();
  }
  std::error_code ignored;
  std::filesystem::remove_all(out, ignored);
  return 0;
}
