#include "runner/service/worker_pool.h"

#include <algorithm>
#include <system_error>

namespace OmviAgentRunnerMain {

WorkerPool::WorkerPool(std::size_t maxThreads) : maxThreads_(std::max<std::size_t>(maxThreads, 1)) {
  const std::lock_guard lock(mutex_);
  startThread();
}

WorkerPool::~WorkerPool() {
  finish();
}

void WorkerPool::startThread() {
  threads_.emplace_back([this] { work(); });
}

void WorkerPool::submit(Job job) {
  bool wake = true;
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
    // Every queued job needs a thread of its own that is waiting, or a new one: a thread
    // that was woken but has not yet taken its job still counts as waiting for that job.
    if (queue_.size() > idle_ && threads_.size() < maxThreads_) {
      try {
        startThread();
        wake = false;
      } catch (const std::system_error&) {
        // No thread to spare: the job waits for one of the running threads.
      }
    }
  }
  if (wake) ready_.notify_one();
}

void WorkerPool::work() {
  std::unique_lock lock(mutex_);
  while (true) {
    ++idle_;
    ready_.wait(lock, [this] { return !queue_.empty() || finishing_; });
    --idle_;
    if (queue_.empty()) return;  // finishing, and nothing left
    Job job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    job();
    job = nullptr;  // whatever the job holds goes before the thread waits again
    lock.lock();
  }
}

void WorkerPool::finish() {
  std::vector<std::thread> threads;
  {
    const std::lock_guard lock(mutex_);
    finishing_ = true;
    threads.swap(threads_);
  }
  ready_.notify_all();
  for (auto& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

std::size_t WorkerPool::threadCount() const {
  const std::lock_guard lock(mutex_);
  return threads_.size();
}

}  // namespace OmviAgentRunnerMain
