// A count of bytes held against a limit, shared by every connection of the service.
//
// Owns: the count and its high-water mark since it was last asked. Does not own: deciding
// what to do when the limit is reached (connection.cc).
#pragma once

#include <atomic>
#include <cstddef>

namespace OmviAgentRunnerMain {

class ByteBudget {
 public:
  explicit ByteBudget(std::size_t limit) : limit_(limit) {}

  [[nodiscard]] std::size_t limit() const { return limit_; }
  [[nodiscard]] std::size_t used() const { return used_.load(std::memory_order_relaxed); }
  /// Whether |bytes| more stay within the limit.
  [[nodiscard]] bool fits(std::size_t bytes) const { return used() + bytes <= limit_; }

  /// Counts |bytes| whether or not they fit (they are held already). Any thread.
  void add(std::size_t bytes) noexcept {
    const std::size_t now = used_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    std::size_t peak = peak_.load(std::memory_order_relaxed);
    while (now > peak && !peak_.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
  }
  void give(std::size_t bytes) noexcept { used_.fetch_sub(bytes, std::memory_order_relaxed); }

  /// The most held at once since the last call, which starts the next span at the count now.
  std::size_t takePeak() noexcept { return peak_.exchange(used(), std::memory_order_relaxed); }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
  std::atomic<std::size_t> peak_{0};
};

}  // namespace OmviAgentRunnerMain
