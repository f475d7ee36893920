// Freeing, on a thread of its own, the replies the I/O thread is done with.
//
// Owns: one thread and the replies handed to it until they are freed. A reply can be many
// megabytes in a block of its own; giving such blocks back to the system takes long enough
// to hold up every other peer's ping when the I/O thread does it.
// Does not own: the replies before they are handed over (connection.h).
#pragma once

#include <condition_variable>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace OmviAgentRunnerMain {

class Reclaimer {
 public:
  /// Starts the thread; throws std::system_error when it cannot.
  Reclaimer();
  /// Frees what is left and joins the thread.
  ~Reclaimer();
  Reclaimer(const Reclaimer&) = delete;
  Reclaimer& operator=(const Reclaimer&) = delete;

  /// Takes every string of |strings|, leaving it empty; allocates nothing. Any thread.
  void take(std::list<std::string>& strings) noexcept;

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::list<std::string> pending_;
  bool stopping_ = false;
  std::thread thread_;  // last: started once the members it uses exist
};

}  // namespace OmviAgentRunnerMain
