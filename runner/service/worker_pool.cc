#include "runner/service/worker_pool.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace OmviAgentRunnerMain {

namespace {

// The nice value |increment| levels below the calling thread's (nice values are a thread's
// own on Linux, and a thread or child starts with its maker's).
int lowered(int increment) {
  errno = 0;
  const int own = getpriority(PRIO_PROCESS, 0);
  return std::min(19, (errno == 0 ? own : 0) + std::max(increment, 0));
}

}  // namespace

WorkerPool::WorkerPool(std::size_t maxThreads, int niceIncrement)
    : maxThreads_(std::max<std::size_t>(maxThreads, 1)), niceValue_(lowered(niceIncrement)) {
  const std::lock_guard lock(mutex_);
  threads_.emplace_back([this] { work(false); });
}

WorkerPool::~WorkerPool() {
  finish();
}

WorkerPool::Send WorkerPool::sendSearcher() {
  if (searching_ > 0) return Send::kNothing;  // one is on its way and will send the next
  if (idle_ > wakeups_) {
    ++wakeups_;
    ++searching_;
    return Send::kWake;
  }
  // Every thread busy, or the pool finishing: the first free thread looks.
  if (threads_.size() + starting_ >= maxThreads_ || finishing_) return Send::kNothing;
  ++starting_;
  ++searching_;
  return Send::kStart;
}

void WorkerPool::act(Send send) {
  if (send == Send::kWake) ready_.notify_one();
  if (send != Send::kStart) return;
  // Started outside the lock: making a thread maps its stack and can take milliseconds on a
  // busy machine, which no other user of the pool should wait for.
  std::list<std::thread> started;
  try {
    started.emplace_back([this] { work(true); });
  } catch (const std::exception&) {
    // No thread to spare: the job waits for one of the running threads.
  }
  bool last = false;
  {
    const std::lock_guard lock(mutex_);
    --starting_;
    if (started.empty()) --searching_;
    threads_.splice(threads_.end(), started);
    last = starting_ == 0 && finishing_;
  }
  if (last) started_.notify_all();
}

void WorkerPool::submit(Lane& lane, Job job) {
  Send send = Send::kNothing;
  {
    const std::lock_guard lock(mutex_);
    lane.jobs.push_back(std::move(job));
    if (lane.waiting || lane.held) return;  // its turn comes (held: after release)
    try {
      turn_.push_back(&lane);
    } catch (...) {
      lane.jobs.pop_back();
      throw;
    }
    lane.waiting = true;
    send = sendSearcher();
  }
  act(send);
}

void WorkerPool::hold(Lane& lane) noexcept {
  const std::lock_guard lock(mutex_);
  lane.held = true;  // passed over (and dropped from the turn) when its turn comes
}

void WorkerPool::release(Lane& lane) {
  Send send = Send::kNothing;
  {
    const std::lock_guard lock(mutex_);
    if (!lane.held) return;
    if (!lane.waiting && !lane.jobs.empty()) {
      turn_.push_back(&lane);
      lane.waiting = true;
    }
    lane.held = false;
    if (lane.waiting) send = sendSearcher();
  }
  act(send);
}

std::deque<WorkerPool::Job> WorkerPool::takeQueued(Lane& lane) {
  const std::lock_guard lock(mutex_);
  if (lane.waiting) {
    turn_.erase(std::find(turn_.begin(), turn_.end(), &lane));
    lane.waiting = false;
  }
  std::deque<Job> jobs;
  jobs.swap(lane.jobs);
  return jobs;
}

WorkerPool::Job WorkerPool::next() {
  while (!turn_.empty()) {
    Lane* lane = turn_.front();
    turn_.pop_front();
    if (lane->held || lane->jobs.empty()) {
      lane->waiting = false;
      continue;
    }
    Job job = std::move(lane->jobs.front());
    lane->jobs.pop_front();
    if (lane->jobs.empty()) {
      lane->waiting = false;
    } else {
      // Cannot fail: the slot just popped is free again.
      turn_.push_back(lane);
    }
    return job;
  }
  return nullptr;
}

void WorkerPool::work(bool searching) {
  // This thread only (who 0 is the calling thread); what it starts inherits the value.
  (void)setpriority(PRIO_PROCESS, 0, niceValue_);
  std::unique_lock lock(mutex_);
  while (true) {
    if (Job job = next()) {
      if (searching) --searching_;
      searching = false;
      const Send send = turn_.empty() ? Send::kNothing : sendSearcher();
      lock.unlock();
      act(send);
      job(false);
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
  std::list<std::thread> threads;
  {
    std::unique_lock lock(mutex_);
    finishing_ = true;
    started_.wait(lock, [this] { return starting_ == 0; });  // no thread starts from here on
    threads.swap(threads_);
  }
  ready_.notify_all();
  for (auto& thread : threads) {
    if (thread.joinable()) thread.join();
  }
}

bool WorkerPool::saturated() const {
  const std::lock_guard lock(mutex_);
  return threads_.size() + starting_ >= maxThreads_ && idle_ <= wakeups_;
}

std::size_t WorkerPool::threadCount() const {
  const std::lock_guard lock(mutex_);
  return threads_.size();
}

}  // namespace OmviAgentRunnerMain
