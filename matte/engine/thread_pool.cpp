#include "thread_pool.h"

#include <pthreadpool.h>

#include <algorithm>
#include <thread>

namespace trelvo::matte {

namespace {

constexpr std::size_t kMaxThreads = 256;

struct Parts {
  std::size_t count;
  std::size_t parts;
  const ThreadPool::Task* task;
};

void runPart(void* context, std::size_t part) {
  const Parts& p = *static_cast<const Parts*>(context);
  const std::size_t begin = p.count * part / p.parts;
  const std::size_t end = p.count * (part + 1) / p.parts;
  if (begin < end) (*p.task)(part, begin, end);
}

}  // namespace

std::shared_ptr<ThreadPool> ThreadPool::create(std::size_t threads, std::string& error) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = std::min(threads, kMaxThreads);
  pthreadpool* pool = nullptr;
  if (threads > 1) {
    pool = pthreadpool_create(threads);
    if (pool == nullptr) {
      error = "cannot create the thread pool";
      return nullptr;
    }
  }
  return std::shared_ptr<ThreadPool>(new ThreadPool(pool, threads));
}

ThreadPool::~ThreadPool() {
  if (pool_ != nullptr) pthreadpool_destroy(pool_);
}

void ThreadPool::split(std::size_t count, const Task& task) const {
  if (pool_ == nullptr || count < 2) {
    if (count > 0) task(0, 0, count);
    return;
  }
  Parts parts{count, std::min(count, threads_), &task};
  // Between loops the workers sleep rather than spin, leaving the cores to the decoder.
  pthreadpool_parallelize_1d(pool_, runPart, &parts, parts.parts, PTHREADPOOL_FLAG_YIELD_WORKERS);
}

}  // namespace trelvo::matte
