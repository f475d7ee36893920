// What the caller of one request lends to the child processes that request starts: a way to
// cancel them, and a running count of the output they produced.
//
// Handlers stay plain functions of the request; whoever runs a call on a thread (the command
// line, a service worker, the MCP server) installs its context there for the call's duration,
// and `runChild` reads it.
//
// Owns: the per-thread context and its installation. Does not own: what cancelling does to a
// child (process.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace OmviAgentRunnerMain {

struct CallContext {
  /// A descriptor that becomes readable once the call is cancelled (an eventfd or the read end
  /// of a pipe); -1 when the call cannot be cancelled. The context does not own it.
  int cancelFd = -1;
  /// When set, every byte a child writes to its standard output or error is added here.
  std::atomic<std::uint64_t>* outputBytes = nullptr;
};

/// The context of the call running on this thread; an empty one when none is installed.
[[nodiscard]] const CallContext& currentCallContext();

/// Installs |context| on this thread until the scope ends, then restores the one before.
class ScopedCallContext {
 public:
  explicit ScopedCallContext(const CallContext& context);
  ~ScopedCallContext();
  ScopedCallContext(const ScopedCallContext&) = delete;
  ScopedCallContext& operator=(const ScopedCallContext&) = delete;

 private:
  const CallContext* previous_;
};

}  // namespace OmviAgentRunnerMain
