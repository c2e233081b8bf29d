#include "platform_linux.h"

#include "directories.h"
#include "ffmpeg_error_log.h"
#include "ffmpeg_reader.h"
#include "ffmpeg_track_load.h"
#include "replace_file.h"

namespace trelvo::matte {

LinuxPlatform::LinuxPlatform() { captureFfmpegErrors(); }

bool LinuxPlatform::createDirectories(const std::string& path) { return makeDirectories(path); }

TrackLoad LinuxPlatform::loadTrack(const std::string& video, std::chrono::milliseconds timeout,
                                   std::unique_ptr<VideoTrack>& track) {
  std::shared_ptr<LoadState> state;
  const TrackLoad result = loadFirstVideoTrack(video, timeout, state);
  if (result == TrackLoad::kLoaded) track = makeFfmpegTrack(std::move(state));
  return result;
}

bool LinuxPlatform::writePng(const std::string& path, const GrayImage& image) {
  if (!encoder_.encode(image, png_)) return false;
  return replaceFile(path, png_);
}

}  // namespace trelvo::matte
