// Matte files written on a thread of their own, one at a time, while the run goes on with the next
// frame's decoding and segmentation.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform.h"

namespace trelvo::matte {

class BackgroundWriter {
 public:
  explicit BackgroundWriter(Platform& platform);
  // Waits for the file in flight, then ends the thread.
  ~BackgroundWriter();
  BackgroundWriter(const BackgroundWriter&) = delete;
  BackgroundWriter& operator=(const BackgroundWriter&) = delete;

  // Hands `matte` over to be written at `path`, and gives back in `matte` a buffer for the next
  // frame. The result of the write before must have been collected with finish().
  void start(std::string path, GrayImage& matte);
  // Waits until the file in flight, if any, is written; false when writing it failed.
  bool finish();

 private:
  void run();

  Platform& platform_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool pending_ = false;  // a file is handed over and not yet written
  bool written_ = true;   // the result of the last write
  bool stopping_ = false;
  std::string path_;
  GrayImage matte_;
  std::thread thread_;  // not running when no thread could be made: files are written in start()
};

}  // namespace trelvo::matte
