// The threads that run the service's calls.
//
// Owns: a queue of jobs and up to a fixed number of threads that run them, started when a
// job finds no idle thread and kept afterwards. A job that blocks (a child run) holds its
// thread, so as many jobs run at once as the pool has threads.
//
// Waking a thread costs far more than a small job, so one thread at a time is sent to the
// queue: the thread that takes a job sends the next one (waking an idle thread, or starting
// a thread) while jobs remain, before it runs its own. Short jobs are thus run back to back
// by the threads already awake, and a long one never keeps a queued job from a free thread
// for longer than one wake-up.
// Does not own: what a job does or how it replies (xpc_service.h); jobs catch their own
// exceptions.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace OmviAgentRunnerMain {

class WorkerPool {
 public:
  using Job = std::function<void()>;

  /// Starts one thread at once; throws std::system_error when even that fails.
  /// |maxThreads| is raised to 1 when lower.
  explicit WorkerPool(std::size_t maxThreads);
  /// Runs every job queued so far, then joins the threads (as `finish`).
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  /// Queues |job| and returns at once. When every thread is busy and fewer than the maximum
  /// run, a new thread takes it; when none can be started it waits for a busy one. Any
  /// thread may submit. |job| must not throw.
  void submit(Job job);

  /// Runs the jobs queued so far to their end and joins the threads. No job may be
  /// submitted afterwards. Call from outside the pool.
  void finish();

  /// Threads started so far.
  [[nodiscard]] std::size_t threadCount() const;

 private:
  // |searching|: the thread was started to take a queued job.
  void work(bool searching);
  // With mutex_ held and a job queued: makes sure a thread is on its way to the queue.
  void sendSearcher();

  const std::size_t maxThreads_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> queue_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;       ///< threads waiting
  std::size_t wakeups_ = 0;    ///< wake-ups sent and not yet taken by a waiting thread
  std::size_t searching_ = 0;  ///< threads woken or started that have not yet looked
  bool finishing_ = false;
};

}  // namespace OmviAgentRunnerMain
