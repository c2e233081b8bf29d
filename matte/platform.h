// The platform services the person matte extractor needs: the file system, the video decoder, the
// person segmentation and the PNG encoder. The logic reaches them only through these interfaces;
// LinuxPlatform (platform_linux.h) is the real implementation, the unit tests use fakes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/segmentation_engine.h"

namespace trelvo::matte {

// The largest frame the reader hands over: at most kMaxFrameSide a side and kMaxFramePixels in all.
// A bigger one fails the decode, so a crafted file cannot make the program allocate without bound.
// 8K UHD fits.
inline constexpr std::uint64_t kMaxFramePixels = 8192ULL * 4352ULL;

// An 8-bit single-channel image, rows packed.
struct GrayImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;
};

// Decodes the frames of one video track, one at a time.
class FrameReader {
 public:
  virtual ~FrameReader() = default;
  // Starts decoding; false when it cannot start.
  virtual bool startReading() = 0;
  // The next frame as BGRA at its own size, valid until the next call or the reader's end. False at
  // the end of the track or after a failure; completed() tells which.
  virtual bool nextFrame(BgraFrame& frame) = 0;
  // True once the whole track has been read without a demux or decode error.
  virtual bool completed() const = 0;
  // The text of the failure that ended reading, empty when there is none.
  virtual std::string errorText() const = 0;
};

// The first video track of a file, as found by the track load.
class VideoTrack {
 public:
  virtual ~VideoTrack() = default;
  // A reader for this track; null when no decoder can take it. The track must outlive the reader.
  virtual std::unique_ptr<FrameReader> makeReader() = 0;
};

enum class TrackLoad { kLoaded, kNoTrack, kTimedOut };

// The per-frame person segmentation. A mask with no pixels means "no person mask".
class Segmenter {
 public:
  virtual ~Segmenter() = default;
  // False with `error` (possibly empty) when the segmentation fails.
  virtual bool segment(const BgraFrame& frame, PersonMask& mask, std::string& error) = 0;
};

// Makes the segmentation once per run; null with `error` set when it cannot be made.
using SegmenterFactory = std::function<std::unique_ptr<Segmenter>(std::string& error)>;

class Platform {
 public:
  virtual ~Platform() = default;
  // Creates `path` with its missing parents; true when it is a directory afterwards.
  virtual bool createDirectories(const std::string& path) = 0;
  // Opens `video` and finds its first video track, giving up after `timeout`. On kLoaded, `track`
  // holds the track; otherwise it is left as it was.
  virtual TrackLoad loadTrack(const std::string& video, std::chrono::milliseconds timeout,
                              std::unique_ptr<VideoTrack>& track) = 0;
  // Writes `image` as an 8-bit grayscale PNG at `path`, replacing a file that is there. False when
  // the file cannot be created or written completely.
  virtual bool writePng(const std::string& path, const GrayImage& image) = 0;
};

}  // namespace trelvo::matte
