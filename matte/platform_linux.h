// The Linux platform: POSIX file system, FFmpeg for the video, the project's PNG encoder on
// libdeflate for the matte files. Each lives in a file of its own (directories, ffmpeg_error_log,
// ffmpeg_track_load, ffmpeg_reader, replace_file); this class puts them behind the seam.
#pragma once

#include <vector>

#include "platform.h"
#include "png_encoder.h"

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
  // Encodes with the matte encoder and writes a new file beside `path`, renamed over it once it is
  // whole: the name only ever holds a complete PNG, and a link at the name is replaced, never
  // followed. The new file is removed when anything fails.
  bool writePng(const std::string& path, const GrayImage& image) override;

 private:
  PngEncoder encoder_;
  std::vector<std::uint8_t> png_;
};

}  // namespace trelvo::matte
