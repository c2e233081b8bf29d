#include "ffmpeg_error_log.h"

#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace trelvo::matte {

namespace {

// Every message that is not an error of a context made here is dropped; the decoder's thread
// copies share its `opaque`.
__attribute__((format(printf, 3, 0))) void keepErrors(void* source, int level, const char* format,
                                                      va_list arguments) {
  if (source == nullptr || format == nullptr || level < 0 || (level & 0xff) > AV_LOG_ERROR) return;
  const AVClass* kind = *static_cast<const AVClass* const*>(source);
  void* log = nullptr;
  FfmpegErrorLog::Source from = FfmpegErrorLog::Source::kDemuxer;
  if (kind == avformat_get_class()) {
    log = static_cast<const AVFormatContext*>(source)->opaque;
  } else if (kind == avcodec_get_class()) {
    log = static_cast<const AVCodecContext*>(source)->opaque;
    from = FfmpegErrorLog::Source::kDecoder;
  }
  if (log != nullptr) static_cast<FfmpegErrorLog*>(log)->keep(from, format, arguments);
}

}  // namespace

void FfmpegErrorLog::keep(Source source, const char* format, va_list arguments) {
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

std::string FfmpegErrorLog::first() const {
  std::lock_guard lock(mutex_);
  return demuxer_.empty() ? decoder_ : demuxer_;
}

void captureFfmpegErrors() {
  // Below the error level nothing is even formatted; errors go to keepErrors, which prints none.
  av_log_set_level(AV_LOG_ERROR);
  av_log_set_callback(keepErrors);
}

}  // namespace trelvo::matte
