// What FFmpeg reports while a file is read: its own log sink, which prints nothing and keeps the
// first errors of each file's demuxer and decoder, for the reader to tell at the end of the track.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>

namespace trelvo::matte {

// The first errors FFmpeg reports about one file's demuxer and its track's decoder. Damage that
// FFmpeg conceals (a cut-off file ending like a whole one, a broken picture patched from its
// neighbours) shows nowhere else. Decoder threads report too, hence the lock.
class FfmpegErrorLog {
 public:
  enum class Source { kDemuxer, kDecoder };

  // Keeps the message when it is the first of its source, as one line of printable text. `format`
  // is FFmpeg's printf format for `arguments`.
  __attribute__((format(printf, 3, 0))) void keep(Source source, const char* format,
                                                  va_list arguments);

  // The demuxer's error before the decoder's: the demuxer reports from the reading thread in file
  // order, while decoder threads report whenever they get there, so only this order is the same
  // from run to run. Empty when neither reported one.
  std::string first() const;

 private:
  mutable std::mutex mutex_;
  std::string demuxer_;
  std::string decoder_;
};

// Makes FFmpeg's log sink the one for the whole process: it prints nothing, and hands the errors
// of a format or codec context whose `opaque` is an FfmpegErrorLog to that log.
void captureFfmpegErrors();

}  // namespace trelvo::matte
