#include "background_writer.h"

#include <system_error>
#include <utility>

namespace trelvo::matte {

BackgroundWriter::BackgroundWriter(Platform& platform) : platform_(platform) {
  try {
    thread_ = std::thread(&BackgroundWriter::run, this);
  } catch (const std::system_error&) {
    // Without a thread the run still works, one step after the other.
  }
}

BackgroundWriter::~BackgroundWriter() {
  if (!thread_.joinable()) return;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundWriter::start(std::string path, GrayImage& matte) {
  if (!thread_.joinable()) {
    written_ = platform_.writePng(path, matte);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    path_ = std::move(path);
    std::swap(matte_, matte);
    pending_ = true;
  }
  changed_.notify_all();
}

bool BackgroundWriter::finish() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return !pending_; });
  const bool written = written_;
  written_ = true;
  return written;
}

void BackgroundWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return pending_ || stopping_; });
    if (!pending_) return;
    lock.unlock();
    const bool written = platform_.writePng(path_, matte_);
    lock.lock();
    written_ = written;
    pending_ = false;
    changed_.notify_all();
  }
}

}  // namespace trelvo::matte
