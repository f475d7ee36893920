#include "runner/service/worker_pool.h"

#include <algorithm>
#include <system_error>

namespace OmviAgentRunnerMain {

WorkerPool::WorkerPool(std::size_t maxThreads) : maxThreads_(std::max<std::size_t>(maxThreads, 1)) {
  const std::lock_guard lock(mutex_);
  threads_.emplace_back([this] { work(false); });
}

WorkerPool::~WorkerPool() {
  finish();
}

void WorkerPool::sendSearcher() {
  if (searching_ > 0) return;  // one is on its way and will send the next
  if (idle_ > wakeups_) {
    ++wakeups_;
    ++searching_;
    ready_.notify_one();
    return;
  }
  if (threads_.size() >= maxThreads_) return;  // every thread is busy; the first free one looks
  try {
    threads_.emplace_back([this] { work(true); });
    ++searching_;
  } catch (const std::system_error&) {
    // No thread to spare: the job waits for one of the running threads.
  }
}

void WorkerPool::submit(Job job) {
  const std::lock_guard lock(mutex_);
  queue_.push_back(std::move(job));
  sendSearcher();
}

void WorkerPool::work(bool searching) {
  std::unique_lock lock(mutex_);
  while (true) {
    if (!queue_.empty()) {
      Job job = std::move(queue_.front());
      queue_.pop_front();
      if (searching) --searching_;
      searching = false;
      if (!queue_.empty()) sendSearcher();
      lock.unlock();
      job();
      job = nullptr;  // whatever the job holds goes before the thread looks again
      lock.lock();
      continue;
    }
    if (searching) --searching_;
    searching = false;
    if (finishing_) return;
    ++idle_;
    ready_.wait(lock, [this] { return wakeups_ > 0 || finishing_; });
    --idle_;
    if (wakeups_ > 0) {
      --wakeups_;
      searching = true;
    }
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
