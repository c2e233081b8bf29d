// The engine's threads: its networks and its pixel loops share one pool.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

struct pthreadpool;

namespace trelvo::matte {

class ThreadPool {
 public:
  // `threads` 0: one per core; 1: the calling thread alone, without a pool. Null with `error` set
  // when the threads cannot be made.
  static std::shared_ptr<ThreadPool> create(std::size_t threads, std::string& error);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The pool for XNNPACK; null when the caller works alone.
  pthreadpool* get() const { return pool_; }
  std::size_t threads() const { return threads_; }

  // A task over the part `part` (below threads()) of a range: its elements [begin, end).
  using Task = std::function<void(std::size_t part, std::size_t begin, std::size_t end)>;

  // Runs `task` on contiguous parts of [0, count), one per thread (the caller's among them), and
  // returns when all are done; without a pool, as one part on the caller. A part's result must not
  // depend on where it starts, so the outcome is the same for any number of threads.
  void split(std::size_t count, const Task& task) const;

 private:
  ThreadPool(pthreadpool* pool, std::size_t threads) : pool_(pool), threads_(threads) {}
  pthreadpool* pool_;
  std::size_t threads_;
};

}  // namespace trelvo::matte
