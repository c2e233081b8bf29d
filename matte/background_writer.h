// Matte files written on a thread of their own, one at a time, while the run decodes the next
// frame.
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
  // frame. Waits for a write still in flight.
  void start(std::string path, GrayImage& matte);
  // Waits until the file in flight, if any, is written; false when a file handed over since the
  // last call could not be written.
  bool finish();

 private:
  void run();

  Platform& platform_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool pending_ = false;  // a file is handed over and not yet written
  bool written_ = true;   // every write since the last finish() succeeded
  bool stopping_ = false;
  std::string path_;
  GrayImage matte_;
  std::thread thread_;  // not running when no thread could be made: files are written in start()
};

}  // namespace trelvo::matte
