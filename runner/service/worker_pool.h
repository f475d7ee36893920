// The threads that run the service's calls.
//
// Owns: one queue of jobs per lane (a lane is one connection), the turn the lanes take, and up
// to a fixed number of threads that run the jobs, started when a job finds no idle thread and
// kept afterwards. A job that blocks (a child run) holds its thread, so as many jobs run at once
// as the pool has threads.
//
// Lanes are served in turn, one job each: a connection that queued thousands of calls gets
// one thread in turn with every other connection, not the whole pool. A held lane (its
// connection has too many replies unread) is passed over until it is released.
//
// Waking a thread costs far more than a small job, so one thread at a time is sent to the
// queue: the thread that takes a job sends the next one (waking an idle thread, or starting
// a thread) while jobs remain, before it runs its own.
// Does not own: what a job does or how it replies (xpc_service.h); jobs catch their own
// exceptions.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace OmviAgentRunnerMain {

class WorkerPool {
 public:
  /// Runs with false on a worker; with true where a queued job is cancelled (`takeQueued`),
  /// which must then answer without doing the work. Must not throw.
  using Job = std::function<void(bool cancelled)>;

  /// One caller's queue. Belongs to the caller, must outlive every job queued on it, and
  /// its fields belong to the pool.
  struct Lane {
    std::deque<Job> jobs;
    bool held = false;
    bool waiting = false;  ///< in the pool's turn
  };

  /// Starts one thread at once; throws std::system_error when even that fails.
  /// |maxThreads| is raised to 1 when lower. Every thread runs |niceIncrement| nice levels
  /// below the thread that makes the pool (at most 19), and so does every child it starts.
  explicit WorkerPool(std::size_t maxThreads, int niceIncrement = 0);
  /// Runs every job queued so far, then joins the threads (as `finish`).
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  /// Queues |job| on |lane| and returns at once; changes nothing when it throws. Any thread.
  void submit(Lane& lane, Job job);

  /// The lane's jobs wait until `release`; jobs already running go on. Never throws.
  void hold(Lane& lane) noexcept;
  void release(Lane& lane);

  /// Takes the lane's jobs that have not started (nothing of them runs on a worker).
  [[nodiscard]] std::deque<Job> takeQueued(Lane& lane);

  /// Whether every thread the pool may have is running a job: a job queued now waits.
  [[nodiscard]] bool saturated() const;

  /// Runs the jobs queued so far to their end and joins the threads. No job may be
  /// submitted afterwards. Call from outside the pool.
  void finish();

  /// Threads started so far.
  [[nodiscard]] std::size_t threadCount() const;

 private:
  // |searching|: the thread was started to take a queued job.
  void work(bool searching);
  // With mutex_ held: the next job in turn, or nothing.
  [[nodiscard]] Job next();
  enum class Send { kNothing, kWake, kStart };
  // With mutex_ held and a job waiting: makes sure a thread is on its way to the queue, by
  // waking an idle one or starting one, which `act` does once the caller has let go of mutex_.
  // Under the lock, a woken thread may take the processor from the holder (whatever their
  // nice values) and leave everyone who wants the lock waiting until the holder runs again.
  [[nodiscard]] Send sendSearcher();
  void act(Send send);

  const std::size_t maxThreads_;
  const int niceValue_;  ///< the threads' nice value; the maker's own when no increment
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable started_;  ///< the last thread being started has been added
  std::deque<Lane*> turn_;           ///< lanes with jobs, in the order they are served
  std::list<std::thread> threads_;   ///< a list: adding a started thread allocates nothing
  std::size_t starting_ = 0;         ///< threads being started outside the lock
  std::size_t idle_ = 0;             ///< threads waiting
  std::size_t wakeups_ = 0;          ///< wake-ups sent and not yet taken by a waiting thread
  std::size_t searching_ = 0;        ///< threads woken or started that have not yet looked
  bool finishing_ = false;
};

}  // namespace OmviAgentRunnerMain
