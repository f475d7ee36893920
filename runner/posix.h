// Small POSIX helpers shared by the subsystems: owned descriptors and error texts.
//
// Owns: closing a descriptor exactly once, and turning an errno value into readable text
// without touching process-wide state.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace OmviAgentRunnerMain {

/// One owned file descriptor, closed when the owner goes. -1 means none.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  void reset();
  /// Gives up ownership without closing.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

/// Fills |bytes| from the kernel's random generator; should it be unavailable, from the clock,
/// the process id and a counter, mixed, so that names made from them still differ between
/// concurrent requests.
void randomBytes(unsigned char* bytes, std::size_t size);

/// |size| random bytes (as `randomBytes` makes them) in lowercase hexadecimal.
[[nodiscard]] std::string randomHex(std::size_t size);

/// The C library's text for |error| ("No such file or directory"), thread-safe.
[[nodiscard]] std::string errnoText(int error);

}  // namespace OmviAgentRunnerMain
