#include "platform_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace trelvo::matte {

namespace {

bool isDirectory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool tooLarge(int width, int height) {
  return static_cast<std::uint32_t>(width) > kMaxFrameSide ||
         static_cast<std::uint32_t>(height) > kMaxFrameSide ||
         static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) > kMaxFramePixels;
}

std::string sizeText(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

std::string ffmpegErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  if (av_strerror(code, text, sizeof text) < 0) {
    (void)std::snprintf(text, sizeof text, "error %d", code);
  }
  return text;
}

// The first errors FFmpeg reports about one file's demuxer and its track's decoder. Damage that
// FFmpeg conceals (a cut-off file ending like a whole one, a broken picture patched from its
// neighbours) shows nowhere else. Decoder threads report too, hence the lock.
class ErrorLog {
 public:
  enum class Source { kDemuxer, kDecoder };

  void keep(Source source, const char* format, va_list arguments) {
    char text[512];
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (length < 0) return;
    std::string message(text);
    // One line for the caller's message: the text may quote the file's own bytes.
    for (char& c : message) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    while (!message.empty() && message.back() == ' ') message.pop_back();
    if (message.empty()) return;
    std::lock_guard lock(mutex_);
    std::string& first = source == Source::kDemuxer ? demuxer_ : decoder_;
    if (first.empty()) first = std::move(message);
  }

  // The demuxer's error before the decoder's: the demuxer reports from the reading thread in file
  // order, while decoder threads report whenever they get there, so only this order is the same
  // from run to run.
  std::string first() const {
    std::lock_guard lock(mutex_);
    return demuxer_.empty() ? decoder_ : demuxer_;
  }

 private:
  mutable std::mutex mutex_;
  std::string demuxer_;
  std::string decoder_;
};

// FFmpeg's log sink for the whole process: prints nothing, and hands errors of a format or codec
// context made here to that context's ErrorLog (its `opaque`; the decoder's thread copies share
// it). Every other message is dropped.
void keepErrors(void* source, int level, const char* format, va_list arguments) {
  if (source == nullptr || format == nullptr || level < 0 || (level & 0xff) > AV_LOG_ERROR) return;
  const AVClass* kind = *static_cast<const AVClass* const*>(source);
  void* log = nullptr;
  ErrorLog::Source from = ErrorLog::Source::kDemuxer;
  if (kind == avformat_get_class()) {
    log = static_cast<const AVFormatContext*>(source)->opaque;
  } else if (kind == avcodec_get_class()) {
    log = static_cast<const AVCodecContext*>(source)->opaque;
    from = ErrorLog::Source::kDecoder;
  }
  if (log != nullptr) static_cast<ErrorLog*>(log)->keep(from, format, arguments);
}

// What the loading thread and the waiting caller share. Whoever lets go last frees it, so a load
// that answers after the caller gave up still writes into live storage.
struct LoadState {
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  AVFormatContext* format = nullptr;
  int stream = -1;
  // Set when the caller stops waiting; makes FFmpeg's blocking reads give up soon after.
  std::atomic<bool> abandoned{false};
  // Errors of the file's demuxer and of the track's decoder; outlives both contexts.
  ErrorLog errors;

  LoadState() = default;
  LoadState(const LoadState&) = delete;
  LoadState& operator=(const LoadState&) = delete;
  ~LoadState() {
    if (format != nullptr) avformat_close_input(&format);
  }
};

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

// Decodes one stream of an open file, following FFmpeg's send/receive loop: receive until the
// decoder wants input, read the next packet of the stream, and at the end of the file (or after a
// demux error) flush the decoder with an empty packet and take what it still holds. The end of the
// file completes the track only when neither the demuxer nor the decoder reported an error.
class FfmpegReader final : public FrameReader {
 public:
  FfmpegReader(std::shared_ptr<LoadState> state, const AVCodec* codec, AVCodecContext* context)
      : state_(std::move(state)),
        format_(state_->format),
        stream_(state_->stream),
        codec_(codec),
        context_(context) {}
  FfmpegReader(const FfmpegReader&) = delete;
  FfmpegReader& operator=(const FfmpegReader&) = delete;
  ~FfmpegReader() override {
    avcodec_free_context(&context_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    sws_freeContext(scaler_);
    av_free(pixels_);
  }

  bool startReading() override {
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (frame_ == nullptr || packet_ == nullptr) return false;
    // A track that declares a size beyond the limit is a failed stream with a reason, found
    // before the decoder (which would refuse to open, without one) allocates anything for it.
    if (tooLarge(context_->width, context_->height)) {
      started_ = true;
      (void)fail("frame too large (" + sizeText(context_->width, context_->height) + ")");
      return true;
    }
    if (avcodec_open2(context_, codec_, nullptr) < 0) return false;
    started_ = true;
    return true;
  }

  bool nextFrame(BgraFrame& out) override {
    if (!started_ || finished_) return false;
    for (;;) {
      int result = avcodec_receive_frame(context_, frame_);
      if (result == 0) {
        const bool converted = convert(out);
        av_frame_unref(frame_);
        return converted;
      }
      if (result == AVERROR_EOF) {
        finished_ = true;
        error_ = demuxError_.empty() ? state_->errors.first() : demuxError_;
        completed_ = error_.empty();
        return false;
      }
      if (result != AVERROR(EAGAIN)) return fail(ffmpegErrorText(result));
      if (draining_) return fail("the decoder did not finish");

      result = av_read_frame(format_, packet_);
      if (result < 0) {
        if (result != AVERROR_EOF) demuxError_ = ffmpegErrorText(result);
        draining_ = true;
        result = avcodec_send_packet(context_, nullptr);
        if (result < 0) return fail(ffmpegErrorText(result));
        continue;
      }
      if (packet_->stream_index != stream_) {
        av_packet_unref(packet_);
        continue;
      }
      result = avcodec_send_packet(context_, packet_);
      av_packet_unref(packet_);
      if (result < 0) return fail(ffmpegErrorText(result));
    }
  }

  bool completed() const override { return completed_; }
  std::string errorText() const override { return error_; }

 private:
  bool fail(std::string text) {
    finished_ = true;
    completed_ = false;
    error_ = std::move(text);
    return false;
  }

  // Converts the decoded frame to BGRA at its own size into the reader's buffer.
  bool convert(BgraFrame& out) {
    const int width = frame_->width;
    const int height = frame_->height;
    if (width <= 0 || height <= 0 || frame_->format < 0) return fail("frame without a picture");
    if (tooLarge(width, height)) return fail("frame too large (" + sizeText(width, height) + ")");
    scaler_ = sws_getCachedContext(scaler_, width, height,
                                   static_cast<AVPixelFormat>(frame_->format), width, height,
                                   AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (scaler_ == nullptr) return fail("cannot convert the frame to BGRA");

    const std::size_t stride = (static_cast<std::size_t>(width) * 4 + 63) & ~std::size_t{63};
    const std::size_t size = stride * static_cast<std::size_t>(height);
    if (size != pixelsSize_) {
      av_free(pixels_);
      pixelsSize_ = 0;
      pixels_ = static_cast<std::uint8_t*>(av_malloc(size));
      if (pixels_ == nullptr) return fail("out of memory");
      pixelsSize_ = size;
    }
    std::uint8_t* planes[4] = {pixels_, nullptr, nullptr, nullptr};
    const int strides[4] = {static_cast<int>(stride), 0, 0, 0};
    if (sws_scale(scaler_, frame_->data, frame_->linesize, 0, height, planes, strides) != height) {
      return fail("cannot convert the frame to BGRA");
    }
    out.pixels = pixels_;
    out.width = static_cast<std::uint32_t>(width);
    out.height = static_cast<std::uint32_t>(height);
    out.stride = stride;
    return true;
  }

  // Keeps the file open and its error log alive while the decoder may still report to it.
  std::shared_ptr<LoadState> state_;
  AVFormatContext* format_;
  int stream_;
  const AVCodec* codec_;
  AVCodecContext* context_;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwsContext* scaler_ = nullptr;
  std::uint8_t* pixels_ = nullptr;
  std::size_t pixelsSize_ = 0;
  bool started_ = false;
  bool draining_ = false;
  bool finished_ = false;
  bool completed_ = false;
  std::string demuxError_;
  std::string error_;
};

class FfmpegTrack final : public VideoTrack {
 public:
  // Keeps the load state: the file's I/O still calls its interrupt callback.
  explicit FfmpegTrack(std::shared_ptr<LoadState> state) : state_(std::move(state)) {}

  std::unique_ptr<FrameReader> makeReader() override {
    AVFormatContext* format = state_->format;
    const AVStream* stream = format->streams[state_->stream];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) return nullptr;
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (context == nullptr) return nullptr;
    if (avcodec_parameters_to_context(context, stream->codecpar) < 0) {
      avcodec_free_context(&context);
      return nullptr;
    }
    context->pkt_timebase = stream->time_base;
    // One thread: the segmentation runs on both cores, and decoder threads beside its pool make the
    // pool wait for whichever thread the decoder took the core from (measured 25 % slower).
    context->thread_count = 1;
    // Decoders refuse larger pictures themselves, so a size change inside the stream cannot make
    // them allocate without bound either.
    context->max_pixels = static_cast<std::int64_t>(kMaxFramePixels);
    // The decoder conceals a damaged picture but reports it to the log, where the reader finds it
    // at the end of the track. Asking it to fail at once instead (AV_EF_EXPLODE) is not safe with
    // this FFmpeg: a damaged MPEG-4 picture then trips an assertion that aborts the process.
    context->opaque = &state_->errors;
    return std::make_unique<FfmpegReader>(state_, codec, context);
  }

 private:
  std::shared_ptr<LoadState> state_;
};

// Writes all of `bytes` to `fd`; false on any failure, a full disk included.
bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t count = ::write(fd, bytes, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

// Puts `bytes` at `path` by way of a new file in the same directory (".NAME.PID.N.tmp", made with
// O_EXCL so nothing there is ever opened or followed), renamed over the name once it is whole.
bool replaceFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  constexpr int kAttempts = 100;
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kAttempts && fd < 0; ++attempt) {
    temporary = directory + "." + name + "." + std::to_string(::getpid()) + "." +
                std::to_string(attempt) + ".tmp";
    // 0666 less the umask: the mode a matte has always had.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  const bool written = writeAll(fd, bytes.data(), bytes.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    (void)::unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace

LinuxPlatform::LinuxPlatform() {
  // Below the error level nothing is even formatted; errors go to keepErrors, which prints none.
  av_log_set_level(AV_LOG_ERROR);
  av_log_set_callback(keepErrors);
}

bool LinuxPlatform::createDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (isDirectory(path)) return true;
  // Each prefix that ends before a "/", then the whole path. A prefix that already is a directory
  // may still refuse mkdir (EACCES on a parent we cannot write), so judge by what is there.
  for (std::size_t end = 1; end <= path.size(); ++end) {
    if (end < path.size() && path[end] != '/') continue;
    if (path[end - 1] == '/') continue;
    const std::string prefix = path.substr(0, end);
    if (::mkdir(prefix.c_str(), 0777) != 0 && !isDirectory(prefix)) return false;
  }
  return isDirectory(path);
}

TrackLoad LinuxPlatform::loadTrack(const std::string& video, std::chrono::milliseconds timeout,
                                   std::unique_ptr<VideoTrack>& track) {
  auto state = std::make_shared<LoadState>();
  // A worker rather than only FFmpeg's interrupt callback: opening a FIFO or a file on a dead
  // network mount blocks in the kernel, where no callback runs.
  try {
    std::thread(loadTrackWorker, state, video).detach();
  } catch (const std::system_error&) {
    return TrackLoad::kNoTrack;
  }
  std::unique_lock lock(state->mutex);
  if (!state->answered.wait_for(lock, timeout, [&] { return state->done; })) {
    state->abandoned = true;
    return TrackLoad::kTimedOut;
  }
  if (state->format == nullptr) return TrackLoad::kNoTrack;
  track = std::make_unique<FfmpegTrack>(state);
  return TrackLoad::kLoaded;
}

bool LinuxPlatform::writePng(const std::string& path, const GrayImage& image) {
  if (!encoder_.encode(image, png_)) return false;
  return replaceFile(path, png_);
}

}  // namespace trelvo::matte
