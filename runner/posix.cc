#include "runner/posix.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace OmviAgentRunnerMain {

void UniqueFd::reset() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void randomBytes(unsigned char* bytes, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = getrandom(bytes + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t state =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(getpid()) << 32) ^ counter.fetch_add(1);
  for (; got < size; ++got) {  // splitmix64
    std::uint64_t mixed = (state += 0x9E3779B97F4A7C15ULL);
    mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ULL;
    mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBULL;
    bytes[got] = static_cast<unsigned char>(mixed ^ (mixed >> 31));
  }
}

std::string randomHex(std::size_t size) {
  std::vector<unsigned char> bytes(size);
  randomBytes(bytes.data(), bytes.size());
  static constexpr std::string_view kDigits = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (const unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0xF]);
  }
  return text;
}

std::string errnoText(int error) {
  char buffer[256];
  // The GNU strerror_r returns its text, which may or may not live in |buffer|.
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace OmviAgentRunnerMain
