#include "ffmpeg_reader.h"

#include <cstdint>
#include <cstdio>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace trelvo::matte {

namespace {

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

}  // namespace

std::unique_ptr<VideoTrack> makeFfmpegTrack(std::shared_ptr<LoadState> state) {
  return std::make_unique<FfmpegTrack>(std::move(state));
}

}  // namespace trelvo::matte
