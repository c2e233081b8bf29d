// The Linux platform: POSIX file system, FFmpeg for the video, libspng for the matte files.
#pragma once

#include "platform.h"

namespace trelvo::matte {

class LinuxPlatform final : public Platform {
 public:
  // Silences FFmpeg's own logging: the program writes only its own messages.
  LinuxPlatform();

  bool createDirectories(const std::string& path) override;
  // Opens the file and probes it on a worker thread that the caller waits for at most `timeout`.
  // Only the "file" protocol is allowed, and the path is always taken as a file name.
  TrackLoad loadTrack(const std::string& video, std::chrono::milliseconds timeout,
                      std::unique_ptr<VideoTrack>& track) override;
  bool writePng(const std::string& path, const GrayImage& image) override;
};

}  // namespace trelvo::matte
