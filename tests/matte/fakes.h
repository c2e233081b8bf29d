// Fakes of the matte extractor's platform seam: scripted frames, a scripted segmentation and an
// in-memory file store, each of which can be told to fail.
#pragma once

#include <cstdio>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace trelvo::matte::testing {

struct FakeVideo {
  // Frame sizes, delivered in order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> frames;
  bool completed = true;  // the final state after the last frame
  std::string errorText;
  bool hasDecoder = true;
  bool starts = true;
};

class FakeReader final : public FrameReader {
 public:
  explicit FakeReader(const FakeVideo& video) : video_(video) {}
  bool startReading() override {
    started_ = video_.starts;
    return started_;
  }
  bool nextFrame(BgraFrame& frame) override {
    if (!started_ || next_ >= video_.frames.size()) return false;
    const auto [width, height] = video_.frames[next_++];
    pixels_.assign(static_cast<std::size_t>(width) * height * 4, 0x80);
    frame = BgraFrame{pixels_.data(), width, height, static_cast<std::size_t>(width) * 4};
    return true;
  }
  bool completed() const override { return next_ == video_.frames.size() && video_.completed; }
  std::string errorText() const override { return video_.errorText; }

 private:
  const FakeVideo& video_;
  std::vector<std::uint8_t> pixels_;
  std::size_t next_ = 0;
  bool started_ = false;
};

class FakeTrack final : public VideoTrack {
 public:
  explicit FakeTrack(const FakeVideo& video) : video_(video) {}
  std::unique_ptr<FrameReader> makeReader() override {
    if (!video_.hasDecoder) return nullptr;
    return std::make_unique<FakeReader>(video_);
  }

 private:
  const FakeVideo& video_;
};

struct WrittenFile {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;
};

class FakePlatform final : public Platform {
 public:
  bool createDirectories(const std::string& path) override {
    directoryCalls.push_back(path);
    return directoryWorks;
  }
  TrackLoad loadTrack(const std::string& path, std::chrono::milliseconds timeout,
                      std::unique_ptr<VideoTrack>& track) override {
    loadCalls.push_back(path);
    loadTimeout = timeout;
    if (load == TrackLoad::kLoaded) track = std::make_unique<FakeTrack>(video);
    return load;
  }
  bool writePng(const std::string& path, const GrayImage& image) override {
    ++writeCalls;
    if (throwWriteCall == writeCalls) throw std::bad_alloc();
    if (failWriteCall == writeCalls) return false;
    files[path] = WrittenFile{image.width, image.height, image.pixels};
    return true;
  }

  bool directoryWorks = true;
  TrackLoad load = TrackLoad::kLoaded;
  FakeVideo video;
  int failWriteCall = 0;   // 1-based; 0 never fails
  int throwWriteCall = 0;  // 1-based; 0 never throws

  std::vector<std::string> directoryCalls;
  std::vector<std::string> loadCalls;
  std::chrono::milliseconds loadTimeout{0};
  int writeCalls = 0;
  std::map<std::string, WrittenFile> files;
};

// Segments every frame into a mask of a fixed size filled with one value; can fail the Nth call.
class FakeSegmenter final : public Segmenter {
 public:
  bool segment(const BgraFrame& frame, PersonMask& mask, std::string& error) override {
    ++calls;
    lastFrameWidth = frame.width;
    if (calls == failCall) {
      error = failText;
      return false;
    }
    if (calls == emptyCall) return true;
    mask.width = maskWidth;
    mask.height = maskHeight;
    mask.pixels.assign(static_cast<std::size_t>(maskWidth) * maskHeight, value);
    if (calls == brokenCall) mask.pixels.pop_back();
    return true;
  }

  std::uint32_t maskWidth = 16;
  std::uint32_t maskHeight = 16;
  std::uint8_t value = 200;
  int failCall = 0;    // fails with failText
  int emptyCall = 0;   // succeeds without a mask
  int brokenCall = 0;  // gives a mask whose pixels do not match its size
  std::string failText;
  int calls = 0;
  std::uint32_t lastFrameWidth = 0;
};

// Collects what the program writes to one of its streams.
class CapturedStream {
 public:
  CapturedStream() : file_(open_memstream(&buffer_, &size_)) {}
  CapturedStream(const CapturedStream&) = delete;
  CapturedStream& operator=(const CapturedStream&) = delete;
  ~CapturedStream() {
    if (file_ != nullptr) (void)std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* file() { return file_; }
  std::string text() {
    (void)std::fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

}  // namespace trelvo::matte::testing
