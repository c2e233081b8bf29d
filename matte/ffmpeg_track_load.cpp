#include "ffmpeg_track_load.h"

#include <system_error>
#include <thread>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

namespace trelvo::matte {

namespace {

int interruptLoad(void* opaque) {
  return static_cast<LoadState*>(opaque)->abandoned.load() ? 1 : 0;
}

// The first stream whose type is video. Cover art attached to an audio file is a video stream to
// FFmpeg but not a video track, so it does not count.
int firstVideoStream(const AVFormatContext* format) {
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVStream* stream = format->streams[i];
    if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        (stream->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void loadTrackWorker(const std::shared_ptr<LoadState>& state, const std::string& video) {
  AVFormatContext* format = avformat_alloc_context();
  int stream = -1;
  if (format != nullptr) {
    format->interrupt_callback.callback = interruptLoad;
    format->interrupt_callback.opaque = state.get();
    format->opaque = &state->errors;
    // The operand is a file name, never a URL ("file:" keeps "http://x" or "pipe:0" a local
    // path), nothing the file refers to may leave the local file system, and a name with "%" in
    // it is not an image-sequence pattern.
    AVDictionary* options = nullptr;
    (void)av_dict_set(&options, "protocol_whitelist", "file", 0);
    (void)av_dict_set(&options, "pattern_type", "none", 0);
    const std::string url = "file:" + video;
    if (avformat_open_input(&format, url.c_str(), nullptr, &options) < 0) format = nullptr;
    av_dict_free(&options);
    if (format != nullptr && avformat_find_stream_info(format, nullptr) >= 0) {
      stream = firstVideoStream(format);
    }
    if (stream < 0) {
      if (format != nullptr) avformat_close_input(&format);
    } else {
      // Only the first video track is decoded; the demuxer may skip everything else.
      for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
      }
    }
  }
  std::lock_guard lock(state->mutex);
  state->format = format;
  state->stream = stream;
  state->done = true;
  state->answered.notify_all();
}

}  // namespace

LoadState::~LoadState() {
  if (format != nullptr) avformat_close_input(&format);
}

TrackLoad loadFirstVideoTrack(const std::string& video, std::chrono::milliseconds timeout,
                              std::shared_ptr<LoadState>& state) {
  auto loading = std::make_shared<LoadState>();
  // A worker rather than only FFmpeg's interrupt callback: opening a FIFO or a file on a dead
  // network mount blocks in the kernel, where no callback runs.
  try {
    std::thread(loadTrackWorker, loading, video).detach();
  } catch (const std::system_error&) {
    return TrackLoad::kNoTrack;
  }
  std::unique_lock lock(loading->mutex);
  if (!loading->answered.wait_for(lock, timeout, [&] { return loading->done; })) {
    loading->abandoned = true;
    return TrackLoad::kTimedOut;
  }
  if (loading->format == nullptr) return TrackLoad::kNoTrack;
  lock.unlock();
  state = std::move(loading);
  return TrackLoad::kLoaded;
}

}  // namespace trelvo::matte
