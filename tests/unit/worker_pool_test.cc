// The worker pool: blocking jobs side by side, up to its maximum.
#include "runner/service/worker_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace OmviAgentRunnerMain {
namespace {

using namespace std::chrono_literals;

using namespace std::chrono_literals;

// Jobs that block until |open| have to run on threads of their own.
TEST(WorkerPool, RunsBlockingJobsSideBySideUpToItsMaximum) {
  WorkerPool pool(4);
  WorkerPool::Lane lane;
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  bool open = false;
  std::atomic<int> done{0};
  for (int i = 0; i < 6; ++i) {
    pool.submit(lane, [&](bool) {
      std::unique_lock lock(mutex);
      ++running;
      changed.notify_all();
      changed.wait(lock, [&] { return open; });
      --running;
      ++done;
    });
  }
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return running == 4; }));
    // The two jobs over the maximum wait for a thread rather than getting one.
    EXPECT_FALSE(changed.wait_for(lock, 50ms, [&] { return running > 4; }));
    EXPECT_EQ(pool.threadCount(), 4u);
    open = true;
  }
  changed.notify_all();
  pool.finish();
  EXPECT_EQ(done, 6);
}

}  // namespace
}  // namespace OmviAgentRunnerMain
