// The bounded track load: FFmpeg opens and probes a video file on a worker thread that the caller
// waits for at most a given time, and finds its first video track.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "ffmpeg_error_log.h"
#include "platform.h"

struct AVFormatContext;

namespace trelvo::matte {

// What the loading thread and the waiting caller share. Whoever lets go last frees it, so a load
// that answers after the caller gave up still writes into live storage.
struct LoadState {
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  AVFormatContext* format = nullptr;  // the open file, owned; null when no track was found
  int stream = -1;                    // the track's stream in `format`
  // Set when the caller stops waiting; makes FFmpeg's blocking reads give up soon after.
  std::atomic<bool> abandoned{false};
  // Errors of the file's demuxer and of the track's decoder; outlives both contexts.
  FfmpegErrorLog errors;

  LoadState() = default;
  LoadState(const LoadState&) = delete;
  LoadState& operator=(const LoadState&) = delete;
  ~LoadState();
};

// Opens `video` (always as a local file name, only through the "file" protocol) and finds its
// first video track, waiting at most `timeout`. On kLoaded, `state` holds the open file and its
// track; otherwise it is left as it was.
TrackLoad loadFirstVideoTrack(const std::string& video, std::chrono::milliseconds timeout,
                              std::shared_ptr<LoadState>& state);

}  // namespace trelvo::matte
