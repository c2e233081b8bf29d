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

namespace {

// A file that cannot be written for want of memory is a failed write like any other; an exception
// must not leave the writer's thread.
bool writeOrFail(Platform& platform, const std::string& path, const GrayImage& matte) {
  try {
    return platform.writePng(path, matte);
  } catch (...) {
    return false;
  }
}

}  // namespace

void BackgroundWriter::start(std::string path, GrayImage& matte) {
  if (!thread_.joinable()) {
    written_ = writeOrFail(platform_, path, matte) && written_;
    return;
  }
  {
    // The thread reads the path and the image without the lock while it writes them.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !pending_; });
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
    const bool written = writeOrFail(platform_, path_, matte_);
    lock.lock();
    written_ = written && written_;
    pending_ = false;
    changed_.notify_all();
  }
}

}  // namespace trelvo::matte
