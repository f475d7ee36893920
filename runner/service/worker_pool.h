// The threads that run the service's calls.
//
// Owns: a queue of jobs and up to a fixed number of threads that run them, started when a
// job finds no idle thread and kept afterwards. A job that blocks (a child run) holds its
// thread, so as many jobs run at once as the pool has threads.
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
  void work();
  void startThread();  // with mutex_ held

  const std::size_t maxThreads_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Job> queue_;
  std::vector<std::thread> threads_;
  std::size_t idle_ = 0;  ///< threads waiting for a job
  bool finishing_ = false;
};

}  // namespace OmviAgentRunnerMain
